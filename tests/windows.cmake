# The Windows layers on a real Windows registry, shell and file system (under Wine in CI).
add_executable(recordargs windows/recordargs.cpp)
set_target_properties(recordargs PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
rostrel_add_test(test_windows SOURCES windows/test_windows.cpp fakes.h LIBS rostrel_settings rostrel_platform rostrel_catalogue LABELS platform)
target_link_libraries(test_windows PRIVATE advapi32 shell32)
add_dependencies(test_windows recordargs)
