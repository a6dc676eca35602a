# The simulated D2XX driver's own tests, and `sim_library`: what any test or benchmark links to
# load the simulator through tests/SimLibrary.h (the module's path, its build dependency, dl).
find_package(Threads REQUIRED)

add_library(sim_library INTERFACE)
target_include_directories(sim_library INTERFACE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(sim_library INTERFACE VELMOR_SIM_PATH="$<TARGET_FILE:ftd2xx_sim>")
target_link_libraries(sim_library INTERFACE Threads::Threads ${CMAKE_DL_LIBS})
add_dependencies(sim_library ftd2xx_sim)

add_executable(sim_test
    sim_test.cpp
    SimLibrary.h
)
set_target_properties(sim_test PROPERTIES AUTOMOC OFF)
target_link_libraries(sim_test PRIVATE sim_library GTest::gtest_main)
add_dependencies(sim_test ftd2xx_sim)
gtest_discover_tests(sim_test TEST_PREFIX "sim." DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
