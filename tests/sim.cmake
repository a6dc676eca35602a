# The simulated D2XX driver's own tests.
add_executable(sim_test sim_test.cpp)
set_target_properties(sim_test PROPERTIES AUTOMOC OFF)
target_link_libraries(sim_test PRIVATE sim_library GTest::gtest_main)
gtest_discover_tests(sim_test TEST_PREFIX "sim." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# The simulated device's model, linked directly.
add_executable(sim_model_test sim_model_test.cpp)
set_target_properties(sim_model_test PROPERTIES AUTOMOC OFF)
target_link_libraries(sim_model_test PRIVATE vsim_model GTest::gtest_main)
gtest_discover_tests(sim_model_test TEST_PREFIX "sim." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
