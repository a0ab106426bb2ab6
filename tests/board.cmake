# The station's live board: its JSON, its access rules and event hub, and the
# server end to end over real sockets on 127.0.0.1 against a station on
# simulated devices; then the page in a real headless browser, against the
# built tool.
if(NOT TARGET tessarin_board OR NOT TARGET tessarin_httplib OR NOT TARGET tessarin_store)
  return()
endif()
find_package(nlohmann_json 3 REQUIRED)
add_executable(board_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/board_access_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/board_json_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/board_server_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/event_hub_test.cpp)
target_link_libraries(board_tests PRIVATE
  tessarin_board tessarin_store tessarin_sim tessarin_httplib tessarin_test_support
  GTest::gtest_main)
gtest_discover_tests(board_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

# The board through the built tool: its options, and its page in a real
# browser (skipped with a message where chromium is not installed).
if(TARGET tessarin-cli AND NOT WIN32)
  add_executable(board_cli_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/board_browser_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/board_cli_test.cpp)
  target_link_libraries(board_cli_tests PRIVATE
    tessarin_board tessarin_store tessarin_httplib tessarin_test_support GTest::gtest_main)
  target_compile_definitions(board_cli_tests PRIVATE
    TESSARIN_CLI_PATH="$<TARGET_FILE:tessarin-cli>"
    TESSARIN_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/board-screenshots"
    TESSARIN_README_PATH="${PROJECT_SOURCE_DIR}/README.md")
  add_dependencies(board_cli_tests tessarin-cli)
  gtest_discover_tests(board_cli_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
endif()
