# The device link's tests, with two small driver libraries of their own for the binding's cases.
foreach(fake underscore_driver missing_driver)
    add_library(${fake} MODULE fakes/${fake}.cpp)
    target_include_directories(${fake} PRIVATE ${PROJECT_SOURCE_DIR})
    set_target_properties(${fake} PROPERTIES CXX_VISIBILITY_PRESET hidden)
endforeach()

add_executable(device_test device_test.cpp TestMain.cpp)
target_link_libraries(device_test PRIVATE velmor_device sim_library Qt6::Widgets GTest::gtest GTest::gmock)
target_include_directories(device_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(device_test PRIVATE
    VELMOR_UNDERSCORE_DRIVER="$<TARGET_FILE:underscore_driver>"
    VELMOR_MISSING_DRIVER="$<TARGET_FILE:missing_driver>")
add_dependencies(device_test underscore_driver missing_driver)
gtest_discover_tests(device_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 300)

add_executable(protocol_test protocol_test.cpp)
set_target_properties(protocol_test PROPERTIES AUTOMOC OFF)
target_link_libraries(protocol_test PRIVATE velmor_protocol GTest::gtest_main GTest::gmock)
target_include_directories(protocol_test PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(protocol_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)
