# The virtual port's tests: the control against real pty clients (C++ and pyserial), the names
# it must refuse, and the panel's call sequences.
set(VPORT_TESTS ${CMAKE_CURRENT_LIST_DIR})
add_executable(vport_test
    ${VPORT_TESTS}/vport_control_tests.cpp
    ${VPORT_TESTS}/vport_names_tests.cpp
    ${VPORT_TESTS}/vport_panel_tests.cpp
    ${VPORT_TESTS}/TestMain.cpp
)
target_link_libraries(vport_test PRIVATE velmor_vport_panel Qt6::Widgets GTest::gtest)
target_include_directories(vport_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(vport_test PRIVATE
    VPORT_SERIAL_CLIENT="${VPORT_TESTS}/vport_serial_client.py"
    VPORT_EXCLUSIVE_CLIENT="${VPORT_TESTS}/vport_exclusive_client.py")
gtest_discover_tests(vport_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 300)
