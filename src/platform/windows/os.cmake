# Windows: files and console; the HID backend on the device set-up interface
# and the HID class driver. Included by src/platform/CMakeLists.txt.
target_sources(tessarin_fileio PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/file_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/owned_handle.h
  ${CMAKE_CURRENT_LIST_DIR}/wide_text.h
)
# shell32, ole32, uuid: the user's known folders (SHGetKnownFolderPath).
target_link_libraries(tessarin_fileio PRIVATE shell32 ole32 uuid)
target_sources(tessarin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/signals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/windows_hid_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/windows_hid_backend.h
)
# setupapi: SetupDi*; cfgmgr32: CM_* (a node's parents); hid: HidD_* / HidP_*; user32: the
# device-change window and the session-end window of the stop requests.
target_link_libraries(tessarin_platform PRIVATE setupapi cfgmgr32 hid user32)
# The image's SHA-256 for the station's records, from the system's own
# cryptography (CNG in bcrypt.dll, on every Windows since 7).
add_library(tessarin_sha256 STATIC ${PROJECT_SOURCE_DIR}/src/platform/sha256.h
  ${PROJECT_SOURCE_DIR}/src/platform/sha256.cpp ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp)
target_include_directories(tessarin_sha256 PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_features(tessarin_sha256 PUBLIC cxx_std_20)
target_link_libraries(tessarin_sha256 PRIVATE bcrypt)

# No min/max macros, and only what the code uses of windows.h.
foreach(target tessarin_fileio tessarin_platform tessarin_sha256)
  target_compile_definitions(${target} PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
endforeach()

# What the station's board needs of the system: its listening socket and
# threads that give way to the burns.
target_sources(tessarin_server_os PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/listen_socket.cpp ${CMAKE_CURRENT_LIST_DIR}/thread_priority.cpp)
target_compile_definitions(tessarin_server_os PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
target_link_libraries(tessarin_server_os PRIVATE ws2_32)
