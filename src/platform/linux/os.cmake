# Linux: POSIX files and terminal; the HID backend on hidraw nodes found and
# watched through libudev, report lengths from the report descriptor.
# Included by src/platform/CMakeLists.txt.
target_sources(tessarin_fileio PRIVATE ${CMAKE_CURRENT_LIST_DIR}/file_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process.cpp)

find_package(PkgConfig REQUIRED)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)

target_sources(tessarin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/signals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_backend.h
  ${CMAKE_CURRENT_LIST_DIR}/hid_report_descriptor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hid_report_descriptor.h
)
target_link_libraries(tessarin_platform PRIVATE PkgConfig::UDEV)

# The rule that gives the user at the seat access to Kestrova devices goes to
# lib/udev/rules.d under the install prefix (/usr/lib/udev/rules.d for a
# package; udev also reads /usr/local/lib/udev/rules.d). Permission errors
# name where it is installed.
set(TESSARIN_UDEV_RULES_DIR lib/udev/rules.d)
target_compile_definitions(tessarin_platform PRIVATE
  TESSARIN_UDEV_RULE="${CMAKE_INSTALL_PREFIX}/${TESSARIN_UDEV_RULES_DIR}/70-tessarin.rules")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-tessarin.rules
  DESTINATION ${TESSARIN_UDEV_RULES_DIR})

# HID devices played through /dev/uhid (the bridge program and the tests that
# run on a real kernel); the report descriptors come from tessarin_platform.
add_library(tessarin_uhid_device STATIC
  ${CMAKE_CURRENT_LIST_DIR}/uhid_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/uhid_device.h
)
target_link_libraries(tessarin_uhid_device PUBLIC tessarin_platform)

# The image's SHA-256 for the station's records, from OpenSSL's libcrypto;
# left out (and the station with it) where libcrypto is not found.
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(OpenSSL_FOUND)
  add_library(tessarin_sha256 STATIC ${PROJECT_SOURCE_DIR}/src/platform/sha256.h
    ${PROJECT_SOURCE_DIR}/src/platform/sha256.cpp ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp)
  target_include_directories(tessarin_sha256 PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_features(tessarin_sha256 PUBLIC cxx_std_20)
  target_link_libraries(tessarin_sha256 PRIVATE OpenSSL::Crypto)
endif()

# What the station's board needs of the system: its listening socket and
# threads that give way to the burns.
target_sources(tessarin_server_os PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/listen_socket.cpp ${CMAKE_CURRENT_LIST_DIR}/thread_priority.cpp)
