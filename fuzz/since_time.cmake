# The time records are filtered from (records --since).
tessarin_fuzz_target(fuzz_since_time ${CMAKE_CURRENT_LIST_DIR}/since_time_fuzz.cpp
  tessarin_station)
