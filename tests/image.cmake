# Image file, file time, compatibility rule and its verdict, last-file memory, and the
# file layer beneath them (shared file mappings, file locks).
add_executable(image_tests
  ${CMAKE_CURRENT_LIST_DIR}/image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_memory_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_verdict_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shared_file_mapping_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_lock_test.cpp
)
target_link_libraries(image_tests PRIVATE tessarin_image tessarin_test_support GTest::gtest_main)
gtest_discover_tests(image_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 60)
