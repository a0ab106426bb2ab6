// Where a station's serial numbers come from: a format with a counter
// ("KS-{:06}" from 1: KS-000001, KS-000002, ...) or a list read from a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {

/// A parsed serial format: text around one number placeholder. The
/// placeholder is `{}` (the number as it is), `{:N}` (at least N characters,
/// padded with blanks on the left) or `{:0N}` (padded with zeros); `{{` and
/// `}}` stand for a brace.
class SerialFormat {
 public:
  /// Null with the reason in *error when `text` has no placeholder, more than
  /// one, or a brace that opens nothing.
  static std::optional<SerialFormat> Parse(std::string_view text, std::string* error);

  /// The serial of number `n`.
  std::string Format(std::uint64_t n) const;
  const std::string& Text() const { return m_text; }

 private:
  std::string m_text;
  std::string m_prefix;
  std::string m_suffix;
  int m_width = 0;
  bool m_zeroPad = false;
};

/// The serials one station hands out. Exactly one of format and list is set.
struct SerialSeries {
  std::optional<SerialFormat> m_format;
  std::uint64_t m_start = 1;        ///< the first number of a format
  std::vector<std::string> m_list;  ///< in the order they are handed out
  std::string m_listFile;           ///< where the list came from, for messages

  /// The key under which the store keeps the counter of a format.
  std::string Key() const;
};

/// Checks a serial before the station starts: not empty, at most
/// SERIAL_UNITS_MAX UTF-16 code units, no control characters. False with the
/// reason in *error.
bool CheckSerial(std::string_view serial, std::string* error);

/// Reads a serial list: one serial a line, blanks around it and empty lines
/// ignored, CR before LF allowed. Null with the reason (file, line number and
/// what is wrong; a serial given twice) in *error.
std::optional<std::vector<std::string>> ReadSerialList(const std::string& path, std::string* error);

/// The series for the command line's choice; checks every serial of a list,
/// and for a format the first number and the widest one it may reach.
std::optional<SerialSeries> MakeFormatSeries(std::string_view format, std::uint64_t start,
                                             std::string* error);

}  // namespace tessarin
