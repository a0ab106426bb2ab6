# The Windows backend against the system's own HID stack (under Wine in the
# cross build: Wine's virtual devices, never a Kestrova device).
if(NOT WIN32 OR NOT TARGET tessarin_platform OR NOT TARGET tessarin_hid)
  return()
endif()

add_executable(windows_tests ${CMAKE_CURRENT_LIST_DIR}/windows_backend_test.cpp)
target_link_libraries(windows_tests PRIVATE tessarin_hid tessarin_platform tessarin_test_support GTest::gtest_main)
# Alone: Wine stalls (about 10 s) when several processes open their first
# windows at the same moment.
gtest_discover_tests(windows_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
