// Writes the input to a file as it stands and reads it as a serial list. A list that is taken
// holds serials a device's descriptor takes: valid UTF-8 of 1 to 31 UTF-16 units, without
// control characters or blanks around them, each once, in the file's order; the byte-order mark
// that may open the file is part of none.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <system_error>

#include "fuzz_text.h"
#include "hid/protocol.h"
#include "image/utf16.h"
#include "station/serial_series.h"

namespace {

using namespace tessarin;
using fuzz::Check;

// One file for the whole run, rewritten for each input and removed at its end.
struct ListFile {
  std::string m_path = (std::filesystem::temp_directory_path() /
                        ("tessarin-fuzz-serial-list-" + std::to_string(std::random_device{}())))
                           .string();
  ~ListFile() {
    std::error_code ec;
    std::filesystem::remove(m_path, ec);
  }
};

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  Check(out.good());
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ListFile file;
  const std::string& path = file.m_path;
  WriteFile(path, data, size);
  std::string error;
  const std::optional<std::vector<std::string>> list = ReadSerialList(path, &error);
  if (!list) {
    Check(error.find(path) != std::string::npos);
    return 0;
  }
  Check(!list->empty());
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::set<std::string> seen;
  // A byte-order mark that opens the file is part of no serial (one further on is a character).
  std::size_t from = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  for (const std::string& serial : *list) {
    Check(!serial.empty() && !Blank(serial.front()) && !Blank(serial.back()));
    Check(Utf8ToUtf16(serial).size() <= static_cast<std::size_t>(SERIAL_UNITS_MAX));
    Check(fuzz::ValidUtf8(serial));
    for (const char c : serial) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    Check(seen.insert(serial).second);
    // In the file's order, each within one line.
    const std::size_t at = text.find(serial, from);
    Check(at != std::string::npos);
    from = at + serial.size();
  }
  return 0;
}
