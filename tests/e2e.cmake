add_test(NAME install_and_package COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(install_and_package PROPERTIES LABELS "install" TIMEOUT 300)
