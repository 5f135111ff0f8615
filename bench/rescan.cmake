# The watcher's rescan of a large account tree, against find and a plain recursive listing.
# Meaningful numbers need a Release build: cmake -B build-bench -DCMAKE_BUILD_TYPE=Release
add_executable(bench_rescan bench_rescan.cpp)
target_include_directories(bench_rescan PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(bench_rescan PRIVATE rostrel_common rostrel_catalogue rostrel_platform)
# A small tree keeps the benchmark building and running in the test suite.
add_test(NAME bench_rescan_smoke COMMAND bench_rescan --accounts 3 --realms 2 --characters 2 --files 4 --runs 1)
set_tests_properties(bench_rescan_smoke PROPERTIES LABELS bench TIMEOUT 60)
