# The simulated device, its backend and plug plans (SimPlugger), and the
# --simulate parser: one binary.
add_executable(sim_tests
  ${CMAKE_CURRENT_LIST_DIR}/sim_device_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_plugger_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_spec_test.cpp
)
target_link_libraries(sim_tests PRIVATE tessarin_sim tessarin_test_support GTest::gtest_main)
gtest_discover_tests(sim_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

# The bridge plays device items only: a plug plan is refused in plain words, before /dev/uhid
# is touched.
if(TARGET tessarin-uhid)
  add_dependencies(sim_tests tessarin-uhid)  # built with the group's tests
  add_test(NAME UhidBridge.RefusesPlugPlansInPlainWords COMMAND tessarin-uhid "units=2")
  set_tests_properties(UhidBridge.RefusesPlugPlansInPlainWords PROPERTIES
    PASS_REGULAR_EXPRESSION "units=N items .* are for tessarin-cli's station")
endif()
