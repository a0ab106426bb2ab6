# Starting another program (the end-to-end tests of the command-line tool).
# Included by src/platform/CMakeLists.txt.
if(WIN32)
  target_sources(tessarin_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/process_win.cpp)
else()
  target_sources(tessarin_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/process_posix.cpp)
endif()
target_sources(tessarin_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/process.h)
