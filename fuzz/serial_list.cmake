# The serial-list reader, the input written to a file as it stands.
tessarin_fuzz_target(fuzz_serial_list ${CMAKE_CURRENT_LIST_DIR}/serial_list_fuzz.cpp
  tessarin_station)
