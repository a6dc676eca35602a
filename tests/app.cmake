add_executable(app_test app_test.cpp TestMain.cpp)
target_link_libraries(app_test PRIVATE velmor_app sim_library Qt6::Widgets Qt6::Test GTest::gtest GTest::gmock)
target_include_directories(app_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(app_test PRIVATE VELMOR_PROGRAM="$<TARGET_FILE:velmor-debug>")
add_dependencies(app_test velmor-debug)
gtest_discover_tests(app_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 300)

add_test(NAME install_layout
         COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR}
                 -DPREFIX=${CMAKE_CURRENT_BINARY_DIR}/install-check
                 -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -P
                 ${CMAKE_CURRENT_SOURCE_DIR}/InstallCheck.cmake)

# Not a test: takes the README's pictures of the windows (see tests/screenshots.cpp).
add_executable(docs_screenshots screenshots.cpp)
target_link_libraries(docs_screenshots PRIVATE velmor_app sim_library Qt6::Widgets)
target_include_directories(docs_screenshots PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(docs_screenshots PRIVATE VELMOR_SIM_WITHOUT_GTEST)

# The link's log and the Messages window that follows it.
add_executable(log_test log_test.cpp TestMain.cpp)
target_link_libraries(log_test PRIVATE velmor_dialogs Qt6::Widgets GTest::gtest)
target_include_directories(log_test PRIVATE ${PROJECT_SOURCE_DIR})
gtest_discover_tests(log_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)
