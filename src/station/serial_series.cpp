#include "station/serial_series.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <set>

#include "burn/serial_number.h"
#include "hid/protocol.h"
#include "image/utf16.h"
#include "platform/file_io.h"

namespace tessarin {

namespace {

// A list file of more than this is surely not a list of serials.
constexpr std::uint64_t kListFileMax = 64ull * 1024 * 1024;

// What a message shows of a serial at most.
constexpr std::size_t kShownUnits = 40;

constexpr char kPlaceholderGrammar[] =
    "a placeholder is {}, {:N} or {:0N}, N a width from 1 to 31 in digits without sign or "
    "leading zeros (KS-{:06})";

std::string Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// The width of a placeholder's "N" or "0N": 1 to 31, no sign, no leading
// zero beyond the one flag. 0 when it is none.
int ParseWidth(std::string_view spec, bool* zeroPad) {
  *zeroPad = spec.size() > 1 && spec[0] == '0';
  if (*zeroPad) spec.remove_prefix(1);
  if (spec.empty() || spec.size() > 2 || spec[0] < '1' || spec[0] > '9') return 0;
  int width = 0;
  for (const char c : spec) {
    if (c < '0' || c > '9') return 0;
    width = width * 10 + (c - '0');
  }
  return width <= SERIAL_UNITS_MAX ? width : 0;
}

// Why a serial cannot be burned, without the serial; empty when it can.
std::string SerialProblem(std::string_view serial) {
  if (serial.empty()) return "an empty serial";
  std::string why;
  return IsValidSerialNumber(Utf8ToUtf16(serial), &why) ? std::string() : why;
}

}  // namespace

std::optional<SerialFormat> SerialFormat::Parse(std::string_view text, std::string* error) {
  SerialFormat format;
  format.m_text = std::string(text);
  bool placed = false;
  std::string* out = &format.m_prefix;
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
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
    const std::string_view spec = text.substr(i + 1, close - i - 1);
    if (!spec.empty()) {
      if (spec[0] != ':') return fail(kPlaceholderGrammar);
      format.m_width = ParseWidth(spec.substr(1), &format.m_zeroPad);
      if (format.m_width == 0) {
        return fail("\"{" + std::string(spec) + "}\" is no placeholder: " + kPlaceholderGrammar);
      }
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
  const std::string why = SerialProblem(serial);
  if (why.empty()) return true;
  if (error) *error = serial.empty() ? why : "serial " + QuoteSerial(serial) + ": " + why;
  return false;
}

std::string QuoteSerial(std::string_view serial) {
  const std::u16string units = Utf8ToUtf16(serial);
  std::u16string shown;
  std::size_t i = 0;
  for (; i < units.size() && i < kShownUnits; ++i) {
    const char16_t c = units[i];
    // Utf8ToUtf16 gives a byte that is no UTF-8 as U+DC80..U+DCFF.
    const bool badByte = c >= 0xDC80 && c <= 0xDCFF;
    if (badByte || c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", badByte ? c - 0xDC00 : c);
      shown.append(escaped, escaped + 4);
      continue;
    }
    shown += c;
    // A pair stays whole: one character beyond U+FFFF.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size()) shown += units[++i];
  }
  std::string text = "\"" + Utf16ToUtf8(shown).value_or(std::string()) + "\"";
  if (i < units.size()) text += "... (" + std::to_string(serial.size()) + " bytes)";
  return text;
}

std::optional<std::uint64_t> ParseSerialNumber(std::string_view text, std::string* error) {
  const auto fail = [&](const char* why) {
    if (error) *error = why;
    return std::nullopt;
  };
  // Digits only: from_chars alone would take a sign.
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return fail("expected a number from 0 to 18446744073709551615, in digits only");
  }
  std::uint64_t value = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc()) {
    return fail("larger than the last number a series has, 18446744073709551615");
  }
  return value;
}

std::optional<std::vector<std::string>> ReadSerialList(const std::string& path,
                                                       std::string* error) {
  const WholeFile file = ReadWholeFile(path, kListFileMax);
  if (file.m_failure != FileReadFailure::kNone) {
    if (error) {
      *error =
          (file.m_failure == FileReadFailure::kCannotOpen ? file.m_error
           : file.m_failure == FileReadFailure::kTooLarge ? path + ": larger than 64 MB"
                                                          : "read " + path + ": " + file.m_error);
    }
    return std::nullopt;
  }
  return ParseSerialList(
      std::string_view(reinterpret_cast<const char*>(file.m_bytes.data()), file.m_bytes.size()),
      path, error);
}

std::optional<std::vector<std::string>> ParseSerialList(std::string_view text,
                                                        const std::string& name,
                                                        std::string* error) {
  // An editor's byte-order mark is no part of the first serial.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::string> serials;
  std::set<std::string> seen;
  std::size_t start = 0;
  int lineNo = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++lineNo;
    const std::string serial = Trim(text.substr(start, end - start));
    start = end + 1;
    if (serial.empty()) continue;
    std::string why;
    if (!CheckSerial(serial, &why)) {
      if (error) *error = name + ":" + std::to_string(lineNo) + ": " + why;
      return std::nullopt;
    }
    if (!seen.insert(serial).second) {
      if (error) {
        *error = name + ":" + std::to_string(lineNo) + ": serial " + QuoteSerial(serial) +
                 " is listed twice; a serial belongs to one unit";
      }
      return std::nullopt;
    }
    serials.push_back(serial);
  }
  if (serials.empty()) {
    if (error) *error = name + " holds no serial";
    return std::nullopt;
  }
  return serials;
}

std::optional<SerialSeries> MakeFormatSeries(const SerialFormat& format, std::uint64_t start,
                                             std::string* error) {
  SerialSeries series;
  series.m_format = format;
  series.m_start = start;
  if (!CheckSerial(format.Format(start), error)) return std::nullopt;
  // A serial grows only where its number gains a digit; every serial is
  // checked again when it is handed out.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t last = start > kMax - (SerialCandidates::kSearchMax - 1)
                                 ? kMax
                                 : start + (SerialCandidates::kSearchMax - 1);
  for (std::uint64_t power = 10; power <= last; power *= 10) {
    if (power > start) {
      const std::string serial = format.Format(power);
      if (const std::string why = SerialProblem(serial); !why.empty()) {
        if (error) {
          *error = "only " + std::to_string(power - start) + " units fit from " +
                   std::to_string(start) + ": the serial of number " + std::to_string(power) +
                   ", " + QuoteSerial(serial) + ", is the first that does not (" + why +
                   "); a series must fit a million units: shorten the text around the "
                   "placeholder";
        }
        return std::nullopt;
      }
    }
    if (power > kMax / 10) break;
  }
  return series;
}

SerialCandidates::SerialCandidates(const SerialSeries& series, std::uint64_t counter)
    : m_series(series), m_number(std::max(series.m_start, counter)) {}

std::optional<std::string> SerialCandidates::Next(std::string* error) {
  if (!m_series.m_format) {
    if (m_index < m_series.m_list.size()) return m_series.m_list[m_index++];
    if (error) {
      *error = "every serial of " + m_series.m_listFile +
               " is taken; add serials to the list (or release spent ones)";
    }
    return std::nullopt;
  }
  if (m_exhausted) {
    if (error) {
      *error = "the series " + m_series.m_format->Text() + " is exhausted: its last number, " +
               std::to_string(m_number) + ", is handed out";
    }
    return std::nullopt;
  }
  if (m_tried == kSearchMax) {
    if (error) *error = "no free serial within a million numbers of " + m_series.m_format->Text();
    return std::nullopt;
  }
  std::string candidate = m_series.m_format->Format(m_number);
  if (!CheckSerial(candidate, error)) return std::nullopt;
  ++m_tried;
  // The last number ends the series: it never starts again at 0.
  if (m_number == std::numeric_limits<std::uint64_t>::max()) {
    m_exhausted = true;
  } else {
    ++m_number;
  }
  return candidate;
}

}  // namespace tessarin
