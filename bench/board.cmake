# The station burning 8 simulated devices with the live board serving 20
# event-stream clients, against the same station without a board.
if(TARGET tessarin_store AND TARGET tessarin_board AND TARGET tessarin_httplib)
  add_executable(board_bench ${CMAKE_CURRENT_SOURCE_DIR}/board_bench.cpp)
  target_link_libraries(board_bench PRIVATE tessarin_board tessarin_station tessarin_store
    tessarin_sim tessarin_httplib benchmark::benchmark)
endif()
