# A whole burn on the simulated device, with and without transfer latency.
add_executable(burn_bench ${CMAKE_CURRENT_SOURCE_DIR}/burn_bench.cpp)
target_link_libraries(burn_bench PRIVATE tessarin_burn tessarin_sim benchmark::benchmark)
