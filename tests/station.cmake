# The production station: serial series, the SQLite record store and the
# station's slots in process against simulated devices; then the built tool
# killed at random moments and run twice at once on one store, and its display.
if(NOT TARGET tessarin_station)
  return()
endif()
find_package(SQLite3 REQUIRED)
add_executable(station_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/station_test.cpp)
target_link_libraries(station_tests PRIVATE
  tessarin_station tessarin_sim tessarin_test_support SQLite::SQLite3 GTest::gtest_main)
gtest_discover_tests(station_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

if(TARGET tessarin-cli AND NOT WIN32)
  add_executable(station_run_tests ${CMAKE_CURRENT_SOURCE_DIR}/station_run_test.cpp)
  target_link_libraries(station_run_tests PRIVATE
    tessarin_cli tessarin_station tessarin_test_support SQLite::SQLite3 GTest::gtest_main)
  target_compile_definitions(station_run_tests PRIVATE
    TESSARIN_CLI_PATH="$<TARGET_FILE:tessarin-cli>")
  add_dependencies(station_run_tests tessarin-cli)
  gtest_discover_tests(station_run_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
endif()
