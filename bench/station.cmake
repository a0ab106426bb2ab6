# The station burning 8 simulated devices in parallel against one device alone.
if(TARGET tessarin_station)
  add_executable(station_bench ${CMAKE_CURRENT_SOURCE_DIR}/station_bench.cpp)
  target_link_libraries(station_bench PRIVATE tessarin_station tessarin_sim benchmark::benchmark)
endif()
