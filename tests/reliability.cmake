# The reliability suites: the whole program in process, for long stretches (Soak), through link
# replacements (Churn and Resets during an echo), under the driver's and the chip's faults
# (Faults) and with hostile port names (Names). Each of the first three runs on every path to a
# device: the simulated driver, and, with VELMOR_USB_EMULATION, our driver over Debian's
# libftdi1 and libusb-1.0 down to an emulated FT2232D and FT2232H (tests/ReliabilityPath.h).
# The short versions run with every ctest; VELMOR_LONG=1 in the environment, read by the tests
# at run time, runs the long ones instead:
#   VELMOR_LONG=1 ctest --test-dir build -L reliability --output-on-failure
# The timeout covers the long versions too, in the sanitizer builds.
add_executable(reliability_test
    ${CMAKE_CURRENT_LIST_DIR}/reliability_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReliabilityPath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimPath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestMain.cpp
)
target_link_libraries(reliability_test PRIVATE
    velmor_app sim_library Qt6::Widgets Qt6::Test GTest::gtest)
target_include_directories(reliability_test PRIVATE ${PROJECT_SOURCE_DIR})
# The chips' paths need umockdev's preload from the process's start, so with them the whole
# suite runs under it: it redirects /sys, and of /dev only the nodes the testbed makes, so the
# simulator's path and the ports' ptys go on as without it. ASan wants its runtime first among
# the libraries a process starts with, which the preload is not: that check alone is switched
# off. A sanitizer build's options come with the tests, for a plain ctest run without the
# presets too; TSan's suppressions are for Debian's Qt, GLib and umockdev, not built with it.
# (Each property takes one value here: gtest_discover_tests splits a list into words. Without
# QT_QPA_PLATFORM set, TestMain picks the offscreen platform.)
set(reliability_properties TIMEOUT 900 LABELS reliability)
if(TARGET usbemu)
    target_sources(reliability_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ChipPath.cpp)
    target_link_libraries(reliability_test PRIVATE usbemu)
    target_compile_definitions(reliability_test PRIVATE VELMOR_RELIABILITY_CHIPS
        VELMOR_FTDI1_DRIVER="$<TARGET_FILE:ftd2xx_ftdi1>")
    add_dependencies(reliability_test ftd2xx_ftdi1)
    list(APPEND reliability_properties ENVIRONMENT LD_PRELOAD=libumockdev-preload.so.0)
else()
    list(APPEND reliability_properties ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endif()
if(VELMOR_SANITIZE STREQUAL "address")
    list(APPEND reliability_properties ENVIRONMENT_MODIFICATION
         "ASAN_OPTIONS=path_list_append:verify_asan_link_order=0")
elseif(VELMOR_SANITIZE STREQUAL "thread")
    list(APPEND reliability_properties ENVIRONMENT_MODIFICATION
         "TSAN_OPTIONS=path_list_append:suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
endif()
gtest_discover_tests(reliability_test TEST_PREFIX "reliability." DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES ${reliability_properties})

# pyserial clients that open the port one right after another through the built velmor-bridge:
# every open succeeds and every echo is exact; a client that leaves at once has its echo dropped
# and said, never handed to the next.
add_test(NAME reliability.ReopenBackToBack
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/reopen_cycles.py
            $<TARGET_FILE:velmor-bridge> $<TARGET_FILE:ftd2xx_sim> 1000)
set_tests_properties(reliability.ReopenBackToBack PROPERTIES TIMEOUT 900 LABELS reliability)
