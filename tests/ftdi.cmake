# libftd2xx-ftdi1.so as built, over Debian's libftdi1 and libusb-1.0, against the emulated chips
# of usbemu/ (built with VELMOR_USB_EMULATION). The test runs under umockdev's preload, which
# must be there from the process's start; without it the test skips (77). ASan wants its
# runtime first among the libraries a process starts with, which the preload is not: that check
# alone is switched off.
# device_test's fallback test loads the real build where the program finds it.
add_dependencies(device_test ftd2xx_ftdi1)

if(TARGET usbemu)
    add_executable(ftdi_test ftdi_test.cpp TestMain.cpp)
    set_target_properties(ftdi_test PROPERTIES AUTOMOC OFF)
    target_link_libraries(ftdi_test PRIVATE velmor_device usbemu Qt6::Widgets GTest::gtest)
    # The driver's sizes come from its header, which names libftdi1's and libusb's types.
    target_include_directories(ftdi_test PRIVATE ${PROJECT_SOURCE_DIR})
    target_include_directories(ftdi_test SYSTEM PRIVATE ${LIBFTDI1_INCLUDE_DIRS}
                               ${LIBUSB1_INCLUDE_DIRS})
    target_compile_definitions(ftdi_test PRIVATE
        VELMOR_FTDI1_DRIVER="$<TARGET_FILE:ftd2xx_ftdi1>")
    add_dependencies(ftdi_test ftd2xx_ftdi1)
    gtest_discover_tests(ftdi_test TEST_PREFIX "ftdi1." DISCOVERY_TIMEOUT 60
        PROPERTIES
            ENVIRONMENT LD_PRELOAD=libumockdev-preload.so.0
            ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=path_list_append:verify_asan_link_order=0"
            TIMEOUT 600)
endif()

# A test of the program's own pieces on the emulated chips, the driver as built, under the same
# preload: Name.cpp, linked with the libraries after it. Under TSan the preload's suppressions
# join the common ones (the udev monitor's socket is served from an uninstrumented thread).
function(velmor_emulation_test Name)
    add_executable(${Name} ${Name}.cpp TestMain.cpp)
    target_link_libraries(${Name} PRIVATE ${ARGN} usbemu Qt6::Widgets GTest::gtest)
    target_include_directories(${Name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${Name} PRIVATE VELMOR_FTDI1_DRIVER="$<TARGET_FILE:ftd2xx_ftdi1>")
    add_dependencies(${Name} ftd2xx_ftdi1)
    velmor_preload_sanitizer(${Name} sanitizer)
    gtest_discover_tests(${Name} TEST_PREFIX "ftdi1." DISCOVERY_TIMEOUT 60
        PROPERTIES
            ENVIRONMENT LD_PRELOAD=libumockdev-preload.so.0
            ENVIRONMENT_MODIFICATION "${sanitizer}"
            TIMEOUT 300)
endfunction()

if(TARGET usbemu)
    # A board that comes back is reopened as soon as udev says it appeared: the headless bridge
    # in process on an emulated chip.
    velmor_emulation_test(arrivals_test velmor_bridge)
    # Rigs: two channels of one emulated chip, boards beside them and behind hubs, each bridged
    # by a velmor-bridge process of its own; the children reach the chips through the preload.
    velmor_emulation_test(channels_test)
    target_compile_definitions(channels_test PRIVATE VELMOR_BRIDGE="$<TARGET_FILE:velmor-bridge>")
    add_dependencies(channels_test velmor-bridge)
endif()

# The location IDs as a plain function of a chip's place on the bus, with the hub paths the
# emulated testbed does not make.
if(TARGET ftd2xx_ftdi1)
    add_executable(ftdi_location_test ftdi_location_test.cpp ${PROJECT_SOURCE_DIR}/ftdi/FtdiBus.cpp)
    target_include_directories(ftdi_location_test PRIVATE ${PROJECT_SOURCE_DIR})
    target_include_directories(ftdi_location_test SYSTEM PRIVATE ${LIBFTDI1_INCLUDE_DIRS}
                               ${LIBUSB1_INCLUDE_DIRS})
    target_link_directories(ftdi_location_test PRIVATE ${LIBFTDI1_LIBRARY_DIRS})
    target_link_libraries(ftdi_location_test PRIVATE ${LIBFTDI1_LIBRARIES} ${LIBUSB1_LIBRARIES}
                          GTest::gtest_main)
    gtest_discover_tests(ftdi_location_test TEST_PREFIX "ftdi1." DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 60)
endif()
