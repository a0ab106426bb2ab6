# The record store on a PostgreSQL server, against a real throwaway server
# (Linux, where libpq and the store were built): the record-store tests every
# store passes, the server store's own (schema, stations told dead by the
# server, a lost connection and the journal, the copy of a file store), and
# stations as separate processes on one server. One server serves the whole
# test run (the fixture pg_server, started and stopped by pg_test_server_ctl);
# a test that restarts a server starts its own. Where the server's programs
# are missing the tests skip and say so.
if(NOT TARGET tessarin_store OR NOT TESSARIN_SERVER_STORE OR WIN32)
  return()
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/support/pg_test_server.cmake)
find_package(SQLite3 REQUIRED)

add_executable(pg_test_server_ctl ${CMAKE_CURRENT_SOURCE_DIR}/support/linux/pg_test_server_main.cpp)
target_link_libraries(pg_test_server_ctl PRIVATE tessarin_pg_test_server)
set(TESSARIN_PG_SERVER_FILE ${CMAKE_CURRENT_BINARY_DIR}/pg-test-server.txt)
add_test(NAME pg_test_server_start COMMAND pg_test_server_ctl start ${TESSARIN_PG_SERVER_FILE})
add_test(NAME pg_test_server_stop COMMAND pg_test_server_ctl stop ${TESSARIN_PG_SERVER_FILE})
set_tests_properties(pg_test_server_start PROPERTIES FIXTURES_SETUP pg_server TIMEOUT 120)
set_tests_properties(pg_test_server_stop PROPERTIES FIXTURES_CLEANUP pg_server TIMEOUT 120)
set(TESSARIN_PG_TEST_PROPERTIES
  FIXTURES_REQUIRED pg_server ENVIRONMENT TESSARIN_PG_TEST_SERVER=${TESSARIN_PG_SERVER_FILE})

add_executable(pg_store_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/pg_record_store_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/record_store_conformance.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/record_store_conformance.h
  ${CMAKE_CURRENT_SOURCE_DIR}/result_journal_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/pg_database_test.h)
target_link_libraries(pg_store_tests PRIVATE
  tessarin_station tessarin_store tessarin_pg_test_server SQLite::SQLite3 GTest::gtest_main)
gtest_discover_tests(pg_store_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES TIMEOUT 120 ${TESSARIN_PG_TEST_PROPERTIES})

if(TARGET tessarin-cli)
  add_executable(pg_process_tests ${CMAKE_CURRENT_SOURCE_DIR}/pg_station_process_test.cpp)
  target_link_libraries(pg_process_tests PRIVATE
    tessarin_station tessarin_store tessarin_pg_test_server GTest::gtest_main)
  target_compile_definitions(pg_process_tests PRIVATE
    TESSARIN_CLI_PATH="$<TARGET_FILE:tessarin-cli>")
  add_dependencies(pg_process_tests tessarin-cli)
  gtest_discover_tests(pg_process_tests DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 300 ${TESSARIN_PG_TEST_PROPERTIES})
endif()
