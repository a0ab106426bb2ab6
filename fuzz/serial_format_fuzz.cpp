// Feeds a serial format and a first number to the format parser. Every serial a format that is
// taken makes, the first, the next and the farthest a station may reach, fits the device's
// descriptor (at most 31 UTF-16 units), is valid UTF-8 and differs from its neighbours.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>
#include <string>

#include "fuzz_text.h"
#include "hid/protocol.h"
#include "image/utf16.h"
#include "station/serial_series.h"

namespace {

using namespace tessarin;

using fuzz::Check;
using fuzz::ValidUtf8;

void CheckMade(const std::string& serial, std::uint64_t n) {
  Check(Utf8ToUtf16(serial).size() <= static_cast<std::size_t>(SERIAL_UNITS_MAX));
  Check(ValidUtf8(serial));
  Check(serial.find(std::to_string(n)) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // A first number the station takes: from 0 to where the search stays within 64 bits.
  std::uint64_t start = input.ConsumeIntegral<std::uint64_t>();
  constexpr std::uint64_t kLast =
      std::numeric_limits<std::uint64_t>::max() - SerialCandidates::kSearchMax;
  if (start > kLast) start %= 1000000000;
  const std::string text = input.ConsumeRemainingBytesAsString();

  std::string error;
  const std::optional<SerialFormat> format = SerialFormat::Parse(text, &error);
  if (!format) {
    Check(!error.empty());
    return 0;
  }
  Check(format->Text() == text);
  // The text it was parsed from parses to a format that makes the same serials.
  const std::optional<SerialFormat> again = SerialFormat::Parse(format->Text(), nullptr);
  Check(again && again->Format(start) == format->Format(start));

  const std::optional<SerialSeries> series = MakeFormatSeries(*format, start, &error);
  if (!series) {
    Check(!error.empty());
    return 0;
  }
  const std::uint64_t far = start + (SerialCandidates::kSearchMax - 1);
  CheckMade(format->Format(start), start);
  CheckMade(format->Format(far), far);
  Check(format->Format(start) != format->Format(start + 1));

  // The candidates a store is offered begin at the first number and are checked as made.
  SerialCandidates candidates(*series, 0);
  for (std::uint64_t n = start; n < start + 3; ++n) {
    const std::optional<std::string> serial = candidates.Next(&error);
    Check(serial.has_value() && *serial == format->Format(n));
    CheckMade(*serial, n);
  }
  Check(candidates.CounterAfter() == start + 3);
  return 0;
}
