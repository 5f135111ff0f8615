# The Windows layers on a real Windows registry, shell and file system (under Wine in CI).
add_executable(recordargs windows/recordargs.cpp)
set_target_properties(recordargs PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
rostrel_add_test(test_windows SOURCES windows/test_windows.cpp fakes.h LIBS rostrel_settings rostrel_platform rostrel_catalogue LABELS platform)
target_link_libraries(test_windows PRIVATE advapi32 shell32)
add_dependencies(test_windows recordargs)
# The tests that watch folders run one at a time: two programs watching through one wineserver
# lose change reports (each alone, or each with its own prefix, gets them all).
if(CMAKE_CROSSCOMPILING)
    set_tests_properties(test_windows test_watcher test_upload test_flavours PROPERTIES RESOURCE_LOCK folder-watch)
endif()
# A WTF linked from another flavour's folder: Wine makes no junctions, but shows a host's link as one.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
    set(linked ${CMAKE_CURRENT_BINARY_DIR}/linked-game)
    add_test(NAME linked_game COMMAND sh -c "rm -rf ${linked} && mkdir -p ${linked}/_retail_/WTF ${linked}/_classic_ && ln -s ../_retail_/WTF ${linked}/_classic_/WTF")
    set_tests_properties(linked_game PROPERTIES FIXTURES_SETUP linked-game)
    set_tests_properties(test_windows PROPERTIES FIXTURES_REQUIRED linked-game)
    set_property(TEST test_windows APPEND PROPERTY ENVIRONMENT ROSTREL_LINKED_GAME=Z:${linked})
endif()
