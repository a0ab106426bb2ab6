# Terminal detection for the command-line tool's progress display.
# Included by src/platform/CMakeLists.txt.
if(WIN32)
  target_sources(tessarin_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/terminal_win.cpp)
else()
  target_sources(tessarin_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/terminal_posix.cpp)
endif()
target_sources(tessarin_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/terminal.h)
