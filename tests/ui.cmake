# The main dialog's logic on simulated devices and a recording window (no Qt).
add_executable(ui_tests
  ${CMAKE_CURRENT_LIST_DIR}/ui_burn_decision_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_dialog_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_status_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tessarin_app_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stop_request_watch_test.cpp
)
target_include_directories(ui_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ui_tests PRIVATE tessarin_ui tessarin_app tessarin_sim tessarin_test_support GTest::gtest_main)
gtest_discover_tests(ui_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
