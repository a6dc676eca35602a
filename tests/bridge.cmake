# velmor-bridge's tests: the built program as a real child process on the simulator (its usage,
# exit statuses, echo, signals, and a round trip through ser2net over RFC 2217 on the loopback),
# and the headless bridge in process for a device lost and back.
add_executable(bridge_test bridge_test.cpp)
target_link_libraries(bridge_test PRIVATE velmor_bridge sim_library GTest::gtest)
target_include_directories(bridge_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(bridge_test PRIVATE VELMOR_BRIDGE="$<TARGET_FILE:velmor-bridge>")
add_dependencies(bridge_test velmor-bridge)
gtest_discover_tests(bridge_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
