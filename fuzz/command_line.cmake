# The tool's command line, the input split into arguments at each NUL byte.
tessarin_fuzz_target(fuzz_command_line ${CMAKE_CURRENT_LIST_DIR}/command_line_fuzz.cpp
  tessarin_cli)
