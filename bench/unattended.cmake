# The watcher unattended over a long, compressed run: posts during an outage and memory.
add_executable(bench_unattended bench_unattended.cpp)
target_include_directories(bench_unattended PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(bench_unattended PRIVATE rostrel_common rostrel_upload rostrel_catalogue rostrel_platform
    rostrel_guildsite rostrel_testsupport)
# The write-to-site delay in a long list, timings scaled down.
add_executable(bench_delay bench_delay.cpp)
target_include_directories(bench_delay PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(bench_delay PRIVATE rostrel_common rostrel_upload rostrel_catalogue rostrel_platform
    rostrel_guildsite rostrel_testsupport)
