# Exchanges per second through the device manager on the simulated device,
# beside the bare simulated handle calls they are made of.
add_executable(hid_bench ${CMAKE_CURRENT_SOURCE_DIR}/hid_bench.cpp)
target_link_libraries(hid_bench PRIVATE tessarin_hid tessarin_sim benchmark::benchmark)
