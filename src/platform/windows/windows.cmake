# The Windows backend: the device set-up interface and the HID class driver.
# Included by src/platform/CMakeLists.txt when building for Windows.
target_sources(tessarin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/windows_hid_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/windows_hid_backend.h
)
# setupapi: SetupDi*; hid: HidD_* / HidP_*; user32: the device-change window.
target_link_libraries(tessarin_platform PUBLIC setupapi hid user32)
# No min/max macros, and only what the backend uses of windows.h.
target_compile_definitions(tessarin_platform PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN
  _WIN32_WINNT=0x0601)
