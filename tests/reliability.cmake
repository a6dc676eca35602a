# The reliability suites: the whole program in process, for long stretches (Soak), through link
# replacements (Churn and Resets during an echo), under the driver's and the chip's faults
# (Faults) and with hostile port names (Names). Soak, Churn and Faults run on every path to a
# device (tests/ReliabilityPath.h): reliability_test runs them on the simulated driver, with the
# suites that are the simulator's alone; with VELMOR_USB_EMULATION, reliability_chips_test runs
# them on our driver over Debian's libftdi1 and libusb-1.0 down to an emulated FT2232D and
# FT2232H. The short versions run with every ctest; VELMOR_LONG=1 in the environment, read by
# the tests at run time, runs the long ones instead:
#   VELMOR_LONG=1 ctest --test-dir build -L reliability --output-on-failure
# The timeout covers the long versions too, in the sanitizer builds.
#
# A sanitizer build's options come with the tests, for a ctest run without the presets too:
# TSan's suppressions are for Debian's Qt, GLib and umockdev, which are not built with it.
# (gtest_discover_tests splits a property's list into words, so each property gets one value.)
set(reliability_sources
    ${CMAKE_CURRENT_LIST_DIR}/reliability_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReliabilityPath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimPath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestMain.cpp
)
add_executable(reliability_test ${reliability_sources})
target_link_libraries(reliability_test PRIVATE
    velmor_app sim_library Qt6::Widgets Qt6::Test GTest::gtest)
target_include_directories(reliability_test PRIVATE ${PROJECT_SOURCE_DIR})
set(reliability_properties TIMEOUT 900 LABELS reliability ENVIRONMENT QT_QPA_PLATFORM=offscreen)
if(VELMOR_SANITIZE STREQUAL "thread")
    list(APPEND reliability_properties ENVIRONMENT_MODIFICATION
         "TSAN_OPTIONS=path_list_append:suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan.supp")
endif()
gtest_discover_tests(reliability_test TEST_PREFIX "reliability." DISCOVERY_TIMEOUT 60
    NO_PRETTY_VALUES PROPERTIES ${reliability_properties})

# The emulated chips need umockdev's preload from the process's start: their executable runs
# under it, and the simulator's stays out of it. Under the preload, ThreadSanitizer's own
# symbolizer (run for every report, suppressed ones too) calls lstat through the preload, whose
# dlsym frees the message of a lookup that failed before (the binding looks up FT_GetDeviceInfo,
# which the simulator lacks) with the symbolizer's allocator: TSan stops on a failed CHECK and
# the test hangs. ASan wants its runtime first among the libraries a process starts with, which
# the preload is not: that check alone is switched off. TSan's suppressions gain one for the
# preload (tsan-preload.supp).
if(TARGET usbemu)
    add_executable(reliability_chips_test ${reliability_sources}
        ${CMAKE_CURRENT_LIST_DIR}/ChipPath.cpp)
    target_link_libraries(reliability_chips_test PRIVATE
        velmor_app sim_library usbemu Qt6::Widgets Qt6::Test GTest::gtest)
    target_include_directories(reliability_chips_test PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(reliability_chips_test PRIVATE VELMOR_RELIABILITY_CHIPS
        VELMOR_FTDI1_DRIVER="$<TARGET_FILE:ftd2xx_ftdi1>")
    add_dependencies(reliability_chips_test ftd2xx_ftdi1)
    set(reliability_chips_properties TIMEOUT 900 LABELS reliability
        ENVIRONMENT LD_PRELOAD=libumockdev-preload.so.0)
    velmor_preload_sanitizer(reliability_chips_test chips_sanitizer)
    list(APPEND reliability_chips_properties ENVIRONMENT_MODIFICATION "${chips_sanitizer}")
    gtest_discover_tests(reliability_chips_test TEST_PREFIX "reliability." DISCOVERY_TIMEOUT 60
        NO_PRETTY_VALUES PROPERTIES ${reliability_chips_properties})
endif()

# pyserial clients that open the port one right after another through the built velmor-bridge:
# every open succeeds and every echo is exact; a client that leaves at once has its echo dropped
# and said, never handed to the next.
add_test(NAME reliability.ReopenBackToBack
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/reopen_cycles.py
            $<TARGET_FILE:velmor-bridge> $<TARGET_FILE:ftd2xx_sim> 1000)
set_tests_properties(reliability.ReopenBackToBack PROPERTIES TIMEOUT 900 LABELS reliability)
