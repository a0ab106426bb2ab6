# The report-descriptor parser under libFuzzer, AddressSanitizer and UBSan.
# Built from its source alone: it needs nothing else of the platform layer.
add_executable(fuzz_report_descriptor
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_report_descriptor.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/linux/hid_report_descriptor.cpp)
target_include_directories(fuzz_report_descriptor PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(fuzz_report_descriptor PRIVATE
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
target_link_options(fuzz_report_descriptor PRIVATE -fsanitize=fuzzer,address,undefined)
