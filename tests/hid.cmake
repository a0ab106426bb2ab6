# The device manager, the device classification and version fields, the
# EEPROM-range reader and the backends' device-change listener slot, on
# simulated devices: one binary.
add_executable(hid_tests
  ${CMAKE_CURRENT_LIST_DIR}/hid_device_manager_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_info_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/eeprom_range_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_change_slot_test.cpp
)
target_link_libraries(hid_tests PRIVATE tessarin_hid tessarin_sim tessarin_test_support GTest::gtest_main)
gtest_discover_tests(hid_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
