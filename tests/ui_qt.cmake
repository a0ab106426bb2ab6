# The Qt host of the dialogs and the window program's command line, headless
# (offscreen platform) on simulated devices. Also writes screenshots of the
# main window and the About box to <build>/screenshots.
if(NOT TARGET tessarin_ui_qt OR NOT TARGET tessarin_app)
  return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Test)

add_executable(ui_qt_tests
  ${CMAKE_CURRENT_LIST_DIR}/ui_qt_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_qt_host_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_qt_burn_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_qt_events_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_qt_app_test.cpp
)
target_include_directories(ui_qt_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ui_qt_tests PRIVATE
  tessarin_ui_qt tessarin_app tessarin_sim Qt6::Test tessarin_test_support GTest::gtest)
target_compile_definitions(ui_qt_tests PRIVATE
  TESSARIN_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
gtest_discover_tests(ui_qt_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)

# The window program on a real X server, its window destroyed by another
# client and stopped by signals; skipped (77) where Xvfb or xdotool is missing.
if(TARGET tessarin AND TARGET tessarin-cli)
  add_test(NAME WindowProgram.EndsCleanlyWhenToldToFromOutside
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/window_ending_test.sh
      $<TARGET_FILE:tessarin> $<TARGET_FILE:tessarin-cli>)
  set_tests_properties(WindowProgram.EndsCleanlyWhenToldToFromOutside
    PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
