# The report-descriptor parser under libFuzzer, AddressSanitizer and UBSan.
# Built from its source alone: it needs nothing else of the platform layer.
tessarin_fuzz_target(fuzz_report_descriptor ${CMAKE_CURRENT_LIST_DIR}/fuzz_report_descriptor.cpp)
target_sources(fuzz_report_descriptor PRIVATE
  ${PROJECT_SOURCE_DIR}/src/platform/linux/hid_report_descriptor.cpp)
target_include_directories(fuzz_report_descriptor PRIVATE ${PROJECT_SOURCE_DIR}/src)
