# Image file, file time, compatibility rule and last-file memory.
add_executable(image_tests
  ${CMAKE_CURRENT_LIST_DIR}/image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_memory_test.cpp
)
target_link_libraries(image_tests PRIVATE tessarin_image tessarin_test_support GTest::gtest_main)
gtest_discover_tests(image_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 60)
