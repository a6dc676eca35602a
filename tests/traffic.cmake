# The traffic log, and the Traffic window on the whole program with the simulated device.
add_executable(traffic_test traffic_test.cpp TestMain.cpp)
target_link_libraries(traffic_test PRIVATE velmor_app sim_library Qt6::Widgets GTest::gtest)
target_include_directories(traffic_test PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(traffic_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)
