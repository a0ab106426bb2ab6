// Feeds arbitrary bytes to the report-descriptor parser: it must never read
// outside its input, and what it accepts must stay within the limits it
// promises.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/hid_report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  auto lengths = tessarin::ParseReportDescriptor({data, size}, &error);
  if (lengths) {
    constexpr unsigned kMost = tessarin::kMaxReportBytes + 1;
    if (lengths->m_input > kMost || lengths->m_output > kMost || lengths->m_feature > kMost ||
        !error.empty()) {
      __builtin_trap();
    }
  } else if (error.empty()) {
    __builtin_trap();  // every refusal says why
  }
  return 0;
}
