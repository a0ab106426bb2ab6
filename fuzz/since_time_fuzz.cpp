// Feeds arbitrary text to the --since time. A time that is taken comes out in the one shape the
// records are compared in (a prefix of 2026-12-08T14:00:05, perhaps with a fraction of a second,
// without the Z), and is taken again as it came out, also with a Z.
#include <cstdint>
#include <string>

#include "fuzz_text.h"
#include "station/record_time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  using fuzz::Check;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<std::string> time = NormaliseSinceTime(text, &error);
  if (!time) {
    Check(!error.empty());
    return 0;
  }
  const std::string shape = "0000-00-00T00:00:00";
  Check(time->size() >= 10);
  for (std::size_t i = 0; i < time->size(); ++i) {
    const char c = (*time)[i];
    const bool digit = c >= '0' && c <= '9';
    if (i < shape.size()) {
      Check(shape[i] == '0' ? digit : c == shape[i]);
    } else {
      Check(time->size() > shape.size() + 1 && (i == shape.size() ? c == '.' : digit));
    }
  }
  Check(NormaliseSinceTime(*time, nullptr) == time);
  Check(NormaliseSinceTime(*time + "Z", nullptr) == time);
  return 0;
}
