# Windows: files and console; the HID backend on the device set-up interface
# and the HID class driver. Included by src/platform/CMakeLists.txt.
target_sources(tessarin_fileio PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/file_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/owned_handle.h
  ${CMAKE_CURRENT_LIST_DIR}/wide_text.h
)
target_sources(tessarin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/signals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/windows_hid_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/windows_hid_backend.h
)
# setupapi: SetupDi*; cfgmgr32: CM_* (a node's parents); hid: HidD_* / HidP_*; user32: the device-change window.
target_link_libraries(tessarin_platform PRIVATE setupapi cfgmgr32 hid user32)
# No min/max macros, and only what the code uses of windows.h.
foreach(target tessarin_fileio tessarin_platform)
  target_compile_definitions(${target} PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
endforeach()
