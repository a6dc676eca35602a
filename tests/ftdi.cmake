# libftd2xx-ftdi1.so under test. No board is attached here, so its sources are built a second time
# over a stand-in of the libftdi1 calls they make (fakes/libftdi_standin.cpp), whose USB side is
# the simulator's chip model; this build also exports the simulator's control functions, so that
# SimLibrary.h drives faults on it as on the simulator. The device link's suite runs over it a
# second time ("ftdi1." tests), and ftdi_test checks the library's own promises.
add_library(ftd2xx_ftdi1_standin MODULE
    ${VELMOR_FTDI1_SOURCES}
    ${PROJECT_SOURCE_DIR}/sim/ControlApi.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fakes/libftdi_standin.cpp
)
velmor_ftdi1_driver(ftd2xx_ftdi1_standin)
set_target_properties(ftd2xx_ftdi1_standin PROPERTIES OUTPUT_NAME ftd2xx-ftdi1-standin)
# libftdi1's public header for its types; nothing of libftdi1 or libusb is linked.
target_include_directories(ftd2xx_ftdi1_standin PRIVATE ${LIBFTDI1_INCLUDE_DIRS})
target_link_libraries(ftd2xx_ftdi1_standin PRIVATE vsim_model)

gtest_discover_tests(device_test TEST_PREFIX "ftdi1." TEST_LIST device_test_ftdi1
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen
        ENVIRONMENT_MODIFICATION VELMOR_DRIVER=set:$<TARGET_FILE:ftd2xx_ftdi1_standin>
        TIMEOUT 300)
# The binding falls back to the real build where the tests find it (build/lib/velmor-debug).
add_dependencies(device_test ftd2xx_ftdi1_standin ftd2xx_ftdi1)

add_executable(ftdi_test ftdi_test.cpp)
set_target_properties(ftdi_test PROPERTIES AUTOMOC OFF)
target_link_libraries(ftdi_test PRIVATE sim_library GTest::gtest_main)
target_compile_definitions(ftdi_test PRIVATE
    VELMOR_STANDIN_DRIVER="$<TARGET_FILE:ftd2xx_ftdi1_standin>")
add_dependencies(ftdi_test ftd2xx_ftdi1_standin)
gtest_discover_tests(ftdi_test TEST_PREFIX "ftdi1." DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "VELMOR_DRIVER=$<TARGET_FILE:ftd2xx_ftdi1_standin>" TIMEOUT 120)
