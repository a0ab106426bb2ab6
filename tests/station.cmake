# The production station: serial series, the record words and serial policy,
# the rule for a burn's end, the slot board, the record-store tests every store
# passes (run here against the SQLite file), and the station's slots in
# process against simulated devices; then the built tool killed at random
# moments and run twice at once on one store, and its display.
if(NOT TARGET tessarin_store)
  return()
endif()
find_package(SQLite3 REQUIRED)
add_executable(station_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/burn_verdict_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/port_name_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/record_store_conformance.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/record_store_conformance.h
  ${CMAKE_CURRENT_SOURCE_DIR}/record_store_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/record_time_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/serial_series_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/slot_board_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sqlite_record_store_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sqlite_rows.h
  ${CMAKE_CURRENT_SOURCE_DIR}/station_slot_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/store_location_test.cpp)
target_link_libraries(station_tests PRIVATE
  tessarin_station tessarin_store tessarin_sim tessarin_test_support SQLite::SQLite3
  GTest::gtest_main)
gtest_discover_tests(station_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

if(TARGET tessarin-cli)
  add_executable(station_process_tests
    ${CMAKE_CURRENT_SOURCE_DIR}/station_display_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/station_process_test.cpp)
  target_link_libraries(station_process_tests PRIVATE
    tessarin_cli tessarin_station tessarin_store tessarin_test_support SQLite::SQLite3
    GTest::gtest_main)
  target_compile_definitions(station_process_tests PRIVATE
    TESSARIN_CLI_PATH="$<TARGET_FILE:tessarin-cli>")
  add_dependencies(station_process_tests tessarin-cli)
  gtest_discover_tests(station_process_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
endif()
