# The real kernel path: ReadBlock and WriteBlock through the manager on a
# hidraw node of a uhid device, against bare write()/ioctl() loops on the same
# node. Runs in the test guest (scripts/guest-test.sh), where /dev/uhid is.
if(TARGET tessarin_uhid_bridge)
  add_executable(uhid_bench ${CMAKE_CURRENT_SOURCE_DIR}/uhid_bench.cpp)
  target_link_libraries(uhid_bench PRIVATE
    tessarin_hid tessarin_sim tessarin_platform tessarin_uhid_bridge benchmark::benchmark)
endif()
