# The command-line tool: its command line and formatting helpers directly, and end-to-end runs
# of the built binary against simulated devices.
if(TARGET tessarin-cli)
  add_executable(cli_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/cli_command_line_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/cli_run_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/cli_progress_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/cli_safety_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/cli_docs_test.cpp)
  target_link_libraries(cli_tests PRIVATE tessarin_cli tessarin_test_support GTest::gtest_main)
  target_compile_definitions(cli_tests PRIVATE
    TESSARIN_CLI_PATH="$<TARGET_FILE:tessarin-cli>" TESSARIN_VERSION="${PROJECT_VERSION}"
    TESSARIN_DOCS_DIR="${PROJECT_BINARY_DIR}/packaging/docs")
  if(NOT WIN32)
    add_dependencies(cli_tests cli_docs)
  endif()
  add_dependencies(cli_tests tessarin-cli)
  gtest_discover_tests(cli_tests DISCOVERY_MODE PRE_TEST)
endif()
