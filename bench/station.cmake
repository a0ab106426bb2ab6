# The station burning 8 simulated devices in parallel against one device alone.
if(TARGET tessarin_store)
  add_executable(station_bench ${CMAKE_CURRENT_SOURCE_DIR}/station_bench.cpp)
  target_link_libraries(station_bench PRIVATE tessarin_station tessarin_store tessarin_sim
    benchmark::benchmark)
endif()

# The same on a PostgreSQL server (a throwaway one it starts itself), and
# three stations reserving serials on one server.
if(TARGET tessarin_store AND TESSARIN_SERVER_STORE AND NOT WIN32)
  include(${PROJECT_SOURCE_DIR}/tests/support/pg_test_server.cmake)
  add_executable(pg_station_bench ${CMAKE_CURRENT_SOURCE_DIR}/pg_station_bench.cpp)
  target_link_libraries(pg_station_bench PRIVATE tessarin_station tessarin_store tessarin_sim
    tessarin_pg_test_server benchmark::benchmark)
endif()
