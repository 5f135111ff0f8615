add_executable(bench_upload bench_upload.cpp)
target_link_libraries(bench_upload PRIVATE rostrel_common rostrel_upload rostrel_catalogue rostrel_testsupport)
target_include_directories(bench_upload PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
