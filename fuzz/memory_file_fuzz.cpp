// Feeds arbitrary bytes to the last-file memory reader and the UTF-8/UTF-16 conversions.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "image/last_file_memory.h"
#include "image/utf16.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  const std::u16string text = DecodeMemoryFile(std::span<const uint8_t>(data, size));
  Check(text.find(u'\0') == std::u16string::npos);
  Check(text.size() <= (size + 1) / 2);
  // What is written reads back as the same text.
  Check(DecodeMemoryFile(EncodeMemoryFile(text)) == text);

  // A byte string (a Linux path) survives the way through UTF-16 unchanged.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> back = Utf16ToUtf8(Utf8ToUtf16(bytes));
  Check(back.has_value() && *back == bytes);

  // Whatever text converts to bytes, those bytes convert on without loss.
  if (const std::optional<std::string> utf8 = Utf16ToUtf8(text)) {
    const std::optional<std::string> again = Utf16ToUtf8(Utf8ToUtf16(*utf8));
    Check(again.has_value() && *again == *utf8);
  }
  return 0;
}
