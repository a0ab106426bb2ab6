# The Linux backend: the report-descriptor parser on its own, then the real
# hidraw backend against devices that umockdev emulates.
if(WIN32 OR NOT TARGET tessarin_platform)
  return()
endif()

add_executable(descriptor_tests ${CMAKE_CURRENT_LIST_DIR}/report_descriptor_test.cpp)
target_link_libraries(descriptor_tests PRIVATE tessarin_platform GTest::gtest_main)
# Windows' lengths for real devices; the test skips, saying so, without them.
target_compile_definitions(descriptor_tests PRIVATE
  TESSARIN_PEER_REPORT_LENGTHS_DIR="${PROJECT_SOURCE_DIR}/../shared/peer-data/hid-report-lengths")
gtest_discover_tests(descriptor_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 60)
