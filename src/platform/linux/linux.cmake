# The Linux backend: hidraw nodes found and watched through libudev, report
# lengths from the report descriptor. Included by src/platform/CMakeLists.txt.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)

target_sources(tessarin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_backend.h
  ${CMAKE_CURRENT_LIST_DIR}/../hid_report_descriptor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../hid_report_descriptor.h
)
target_link_libraries(tessarin_platform PUBLIC PkgConfig::UDEV)

# Where `cmake --install` puts the rule that gives the logged-in user access
# to the devices; permission errors name it.
set(TESSARIN_UDEV_RULES_DIR ${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d)
target_compile_definitions(tessarin_platform PRIVATE
  TESSARIN_UDEV_RULE="${TESSARIN_UDEV_RULES_DIR}/70-tessarin.rules")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-tessarin.rules
  DESTINATION ${TESSARIN_UDEV_RULES_DIR})
