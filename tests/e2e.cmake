add_test(NAME install_and_package COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(install_and_package PROPERTIES LABELS "install" TIMEOUT 300)

# The built program as a process, under its own X server.
add_executable(test_e2e test_e2e.cpp)
target_link_libraries(test_e2e PRIVATE rostrel_common Qt6::Test rostrel_guildsite)
target_include_directories(test_e2e PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tools
    ${PROJECT_BINARY_DIR}/generated/tests)
set_target_properties(test_e2e PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(test_e2e RostrelUploader)
# -noreset: an X server that resets when its last client leaves refuses the program started next.
add_test(NAME test_e2e COMMAND xvfb-run -a -s "-screen 0 1024x768x24 -noreset" $<TARGET_FILE:test_e2e>)
set_tests_properties(test_e2e PROPERTIES LABELS "e2e" TIMEOUT 600
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0;ROSTREL_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
