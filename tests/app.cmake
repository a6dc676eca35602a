add_executable(app_test app_test.cpp TestMain.cpp)
target_link_libraries(app_test PRIVATE velmor_app sim_library Qt6::Widgets Qt6::Test GTest::gtest GTest::gmock)
target_include_directories(app_test PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(app_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 300)
