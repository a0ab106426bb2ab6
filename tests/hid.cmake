# The device manager, device info, the simulated device and backend, the
# --simulate parser and the frame trace: one binary.
add_executable(hid_tests
  ${CMAKE_CURRENT_LIST_DIR}/hid_device_manager_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_info_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_device_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_spec_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_backend_test.cpp
)
target_link_libraries(hid_tests PRIVATE tessarin_hid tessarin_sim tessarin_platform tessarin_test_support GTest::gtest_main)
gtest_discover_tests(hid_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
