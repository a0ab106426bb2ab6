# The burn worker against the simulated device.
add_executable(burn_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/burn_worker_test.cpp)
target_link_libraries(burn_tests PRIVATE tessarin_burn tessarin_sim tessarin_image tessarin_test_support GTest::gtest_main)
gtest_discover_tests(burn_tests DISCOVERY_MODE PRE_TEST)
