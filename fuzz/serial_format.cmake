# The serial-format parser and the serials a format makes.
tessarin_fuzz_target(fuzz_serial_format ${CMAKE_CURRENT_LIST_DIR}/serial_format_fuzz.cpp
  tessarin_station)
