#include "station/serial_series.h"

#include <charconv>
#include <set>

#include "hid/protocol.h"
#include "image/utf16.h"
#include "platform/file_io.h"

namespace tessarin {

namespace {

// A list file of more than this is surely not a list of serials.
constexpr std::uint64_t kListFileMax = 64ull * 1024 * 1024;

std::string Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

std::optional<SerialFormat> SerialFormat::Parse(std::string_view text, std::string* error) {
  SerialFormat format;
  format.m_text = std::string(text);
  bool placed = false;
  std::string* out = &format.m_prefix;
  const auto fail = [&](const std::string& why) {
    if (error) *error = "--serial-format \"" + std::string(text) + "\": " + why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '}') {
      if (i + 1 < text.size() && text[i + 1] == '}') {
        *out += '}';
        ++i;
        continue;
      }
      return fail("a lone '}'; write '}}' for a brace");
    }
    if (c != '{') {
      *out += c;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '{') {
      *out += '{';
      ++i;
      continue;
    }
    const std::size_t close = text.find('}', i);
    if (close == std::string_view::npos) return fail("a '{' without its '}'");
    if (placed) return fail("more than one {} placeholder; a serial takes one number");
    std::string_view spec = text.substr(i + 1, close - i - 1);
    if (!spec.empty()) {
      if (spec[0] != ':') return fail("expected {}, {:N} or {:0N}");
      spec.remove_prefix(1);
      if (!spec.empty() && spec[0] == '0') {
        format.m_zeroPad = true;
        spec.remove_prefix(1);
      }
      int width = 0;
      const auto [ptr, ec] = std::from_chars(spec.data(), spec.data() + spec.size(), width);
      if (spec.empty() || ec != std::errc() || ptr != spec.data() + spec.size() || width > 31) {
        return fail("expected {}, {:N} or {:0N} with a width N up to 31");
      }
      format.m_width = width;
    }
    placed = true;
    out = &format.m_suffix;
    i = close;
  }
  if (!placed)
    return fail("no {} placeholder for the number; every unit would get the same serial");
  return format;
}

std::string SerialFormat::Format(std::uint64_t n) const {
  std::string digits = std::to_string(n);
  if (static_cast<int>(digits.size()) < m_width) {
    digits.insert(0, static_cast<std::size_t>(m_width) - digits.size(), m_zeroPad ? '0' : ' ');
  }
  return m_prefix + digits + m_suffix;
}

std::string SerialSeries::Key() const {
  return m_format ? "format:" + m_format->Text() : "list:" + m_listFile;
}

bool CheckSerial(std::string_view serial, std::string* error) {
  const std::string shown = "serial \"" + std::string(serial) + "\"";
  if (serial.empty()) {
    if (error) *error = "an empty serial";
    return false;
  }
  for (char c : serial) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      if (error) *error = shown + ": control characters do not belong in a serial";
      return false;
    }
  }
  const std::size_t units = Utf8ToUtf16(serial).size();
  if (units > static_cast<std::size_t>(SERIAL_UNITS_MAX)) {
    if (error) {
      *error = shown + ": " + std::to_string(units) + " characters (UTF-16 units), more than the " +
               std::to_string(SERIAL_UNITS_MAX) + " the device's serial-number descriptor holds";
    }
    return false;
  }
  return true;
}

std::optional<std::vector<std::string>> ReadSerialList(const std::string& path,
                                                       std::string* error) {
  const WholeFile file = ReadWholeFile(path, kListFileMax);
  if (file.m_failure != FileReadFailure::kNone) {
    if (error) {
      *error = "--serial-list: " + (file.m_failure == FileReadFailure::kCannotOpen ? file.m_error
                                    : file.m_failure == FileReadFailure::kTooLarge
                                        ? path + ": larger than 64 MB"
                                        : "read " + path + ": " + file.m_error);
    }
    return std::nullopt;
  }
  std::vector<std::string> serials;
  std::set<std::string> seen;
  const std::string text(file.m_bytes.begin(), file.m_bytes.end());
  std::size_t start = 0;
  int lineNo = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++lineNo;
    const std::string serial = Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (serial.empty()) continue;
    std::string why;
    if (!CheckSerial(serial, &why)) {
      if (error) *error = "--serial-list: " + path + ":" + std::to_string(lineNo) + ": " + why;
      return std::nullopt;
    }
    if (!seen.insert(serial).second) {
      if (error) {
        *error = "--serial-list: " + path + ":" + std::to_string(lineNo) + ": serial \"" + serial +
                 "\" is listed twice; a serial belongs to one unit";
      }
      return std::nullopt;
    }
    serials.push_back(serial);
  }
  if (serials.empty()) {
    if (error) *error = "--serial-list: " + path + " holds no serial";
    return std::nullopt;
  }
  return serials;
}

std::optional<SerialSeries> MakeFormatSeries(std::string_view format, std::uint64_t start,
                                             std::string* error) {
  SerialSeries series;
  series.m_format = SerialFormat::Parse(format, error);
  if (!series.m_format) return std::nullopt;
  series.m_start = start;
  // The number grows as units go by; a million units on is checked now, and
  // every serial again when it is handed out.
  constexpr std::uint64_t kReach = 999999;
  std::string why;
  for (const std::uint64_t n : {start, start + kReach}) {
    if (!CheckSerial(series.m_format->Format(n), &why)) {
      if (error) *error = "--serial-format: " + why;
      return std::nullopt;
    }
  }
  return series;
}

}  // namespace tessarin
