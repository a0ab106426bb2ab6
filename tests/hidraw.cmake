# The Linux backend: the report-descriptor parser on its own, then the real
# hidraw backend against devices that umockdev emulates.
if(WIN32 OR NOT TARGET tessarin_platform)
  return()
endif()

add_executable(descriptor_tests ${CMAKE_CURRENT_LIST_DIR}/report_descriptor_test.cpp)
target_link_libraries(descriptor_tests PRIVATE tessarin_platform tessarin_test_support GTest::gtest_main)
# Windows' lengths for real devices; the test skips, saying so, without them.
target_compile_definitions(descriptor_tests PRIVATE
  TESSARIN_PEER_REPORT_LENGTHS_DIR="${PROJECT_SOURCE_DIR}/../shared/peer-data/hid-report-lengths")
gtest_discover_tests(descriptor_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 60)

# The real backend, unmodified, against hidraw devices emulated by umockdev
# and answered by the simulated device. The preload redirects /dev and /sys
# into each test's testbed; the sanitizer settings it needs are built in.
if(NOT TARGET tessarin_sim OR NOT TARGET tessarin_hid)
  return()
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
add_executable(hidraw_tests
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_backend_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_manager_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_sanitizer_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/linux/hidraw_testbed.h
)
target_link_libraries(hidraw_tests PRIVATE
  tessarin_hid tessarin_sim tessarin_platform PkgConfig::UMOCKDEV tessarin_test_support GTest::gtest_main)
gtest_discover_tests(hidraw_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 60
  ENVIRONMENT "LD_PRELOAD=libumockdev-preload.so.0")

# The same tests against real hidraw nodes that the kernel's HID core makes
# for uhid devices. Not registered with ctest: they need /dev/uhid and a
# machine with no other hidraw device, which is what the test guest of
# scripts/guest-test.sh is; there they run as root.
if(TARGET tessarin_uhid_bridge)
  add_executable(hidraw_kernel_tests
    ${CMAKE_CURRENT_LIST_DIR}/hidraw_backend_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hidraw_manager_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/support/linux/uhid_testbed.h
  )
  target_compile_definitions(hidraw_kernel_tests PRIVATE TESSARIN_TESTBED_UHID=1)
  target_link_libraries(hidraw_kernel_tests PRIVATE
    tessarin_hid tessarin_sim tessarin_platform tessarin_uhid_bridge tessarin_test_support
    GTest::gtest_main)
endif()
