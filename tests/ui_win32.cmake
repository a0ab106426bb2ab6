# The main dialog on the native Win32 host, in process, on simulated devices.
# Wine needs an X server to make windows: .ci/windows runs ctest under Xvfb.
if(NOT TARGET tessarin_ui_win32 OR NOT TARGET tessarin_app)
  return()
endif()

add_executable(ui_win32_tests
  ${CMAKE_CURRENT_LIST_DIR}/ui_win32_test.cpp
  $<TARGET_OBJECTS:tessarin_ui_win32_resources>
)
target_link_libraries(ui_win32_tests PRIVATE
  tessarin_ui_win32 tessarin_app tessarin_sim tessarin_test_support GTest::gtest_main)
# Alone, as the other Wine tests that open windows.
gtest_discover_tests(ui_win32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)

# Reads a control of the running window program (the end-to-end run of
# .ci/windows).
add_executable(dialog_probe ${CMAKE_CURRENT_LIST_DIR}/win32_probe.cpp)
target_link_options(dialog_probe PRIVATE -municode)
