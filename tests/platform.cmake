# The platform layer's own answers on the system the tests run on: the
# whole-file read, the frame trace, the image digest, what identifies a
# running process, and the stop requests (raised at the test itself, and sent
# to a child process by the system's own means). The HID backends have groups
# of their own. Built on Linux and on Windows: one binary.
if(NOT TARGET tessarin_platform OR NOT TARGET tessarin_fileio)
  return()
endif()

# The child the process tests start: it sleeps, or counts stop requests.
add_executable(platform_child ${CMAKE_CURRENT_LIST_DIR}/platform_child.cpp)
target_link_libraries(platform_child PRIVATE tessarin_platform)

add_executable(platform_tests
  ${CMAKE_CURRENT_LIST_DIR}/file_io_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_process_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_signals_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_backend_test.cpp
)
target_link_libraries(platform_tests PRIVATE
  tessarin_platform tessarin_fileio tessarin_hid tessarin_sim tessarin_test_support
  GTest::gtest_main)
target_compile_definitions(platform_tests PRIVATE
  TESSARIN_PLATFORM_CHILD_PATH="$<TARGET_FILE:platform_child>")
add_dependencies(platform_tests platform_child)
if(TARGET tessarin_sha256)
  target_sources(platform_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_sha256_test.cpp)
  target_link_libraries(platform_tests PRIVATE tessarin_sha256)
endif()
gtest_discover_tests(platform_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

# Ctrl+C typed into the child's console under Wine (a terminal made by
# util-linux's script): the system's own path to the console handler.
if(WIN32 AND CMAKE_CROSSCOMPILING AND TESSARIN_WINE)
  add_test(NAME StopRequests.CtrlCTypedIntoTheConsoleIsCounted
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/platform_console_stop_test.sh
      ${TESSARIN_WINE} $<TARGET_FILE:platform_child>)
  set_tests_properties(StopRequests.CtrlCTypedIntoTheConsoleIsCounted
    PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
endif()
