# The reliability suites: the whole program in process against the simulated device, for long
# stretches (Soak), through link replacements (Churn), under the driver's faults (Faults) and with
# hostile port names (Names). The short versions run with every ctest; VELMOR_LONG=1 in the
# environment, read by the tests at run time, runs the long ones instead:
#   VELMOR_LONG=1 ctest --test-dir build -L reliability --output-on-failure
# The timeout covers the long versions too, in the sanitizer builds.
add_executable(reliability_test
    ${CMAKE_CURRENT_LIST_DIR}/reliability_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestMain.cpp
)
target_link_libraries(reliability_test PRIVATE
    velmor_app sim_library Qt6::Widgets Qt6::Test GTest::gtest)
target_include_directories(reliability_test PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(reliability_test TEST_PREFIX "reliability." DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 900 LABELS reliability)

# pyserial clients that open the port one right after another through the built velmor-bridge:
# every open succeeds and every echo is exact; a client that leaves at once has its echo dropped
# and said, never handed to the next.
add_test(NAME reliability.ReopenBackToBack
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/reopen_cycles.py
            $<TARGET_FILE:velmor-bridge> $<TARGET_FILE:ftd2xx_sim> 1000)
set_tests_properties(reliability.ReopenBackToBack PROPERTIES TIMEOUT 900 LABELS reliability)
