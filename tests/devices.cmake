# Devices told apart: the listing against a driver table of the test's own, and --list's forms.
add_executable(devices_test devices_test.cpp)
set_target_properties(devices_test PROPERTIES AUTOMOC OFF)
target_link_libraries(devices_test PRIVATE velmor_bridge GTest::gtest_main GTest::gmock)
target_include_directories(devices_test PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(devices_test TEST_PREFIX "devices." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
