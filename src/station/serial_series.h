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
/// padded with blanks on the left) or `{:0N}` (padded with zeros), N a width
/// from 1 to 31 written with digits only, without sign or leading zeros; `{{`
/// and `}}` stand for a brace.
class SerialFormat {
 public:
  /// Null with the reason in *error when `text` has no placeholder, more than
  /// one, a placeholder outside the grammar above (the message gives it), or
  /// a brace that opens nothing (the caller names the text and where it came
  /// from). The text around the placeholder is checked with the serials it
  /// makes (MakeFormatSeries).
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

/// Checks a serial before the station starts: not empty, and what `burn
/// --serial` takes (IsValidSerialNumber: valid UTF-8, at most
/// SERIAL_UNITS_MAX UTF-16 code units, no control characters). False with
/// the reason, the serial quoted (QuoteSerial), in *error.
bool CheckSerial(std::string_view serial, std::string* error);

/// A serial in quotes for a message: bytes that are not UTF-8 and control
/// characters as \xHH, and cut after 40 characters ("...", and its length
/// in bytes), so a stray line of megabytes is not echoed whole.
std::string QuoteSerial(std::string_view serial);

/// Reads a serial number as --serial-start gives it: decimal digits only (no
/// sign, no blanks), at most 2^64 - 1. Null with the reason in *error.
std::optional<std::uint64_t> ParseSerialNumber(std::string_view text, std::string* error);

/// Reads a serial list file (ParseSerialList on its bytes). Null with the
/// reason, the file named first, in *error.
std::optional<std::vector<std::string>> ReadSerialList(const std::string& path, std::string* error);

/// The serials of a list's bytes: one serial a line, a UTF-8 byte-order mark
/// at the start, blanks around a serial and empty lines ignored, CR before
/// LF allowed; every serial checked (CheckSerial). Null with the reason
/// ("<name>:<line>: " and what is wrong; a serial given twice) in *error.
std::optional<std::vector<std::string>> ParseSerialList(std::string_view bytes,
                                                        const std::string& name,
                                                        std::string* error);

/// The series of a format from `start`. Checks the first serial, and the
/// first of each longer length that the series reaches within
/// SerialCandidates::kSearchMax numbers: null, with the first serial that
/// does not fit and how many units fit before it in *error, when one does
/// not.
std::optional<SerialSeries> MakeFormatSeries(const SerialFormat& format, std::uint64_t start,
                                             std::string* error);

/// The serials a series offers a store, in the order it tries them: a list's
/// in its order; a format's numbers from its start or the store's counter,
/// whichever is higher, at most kSearchMax of them and never past 2^64 - 1
/// (the series is then exhausted; it never starts again at 0), each checked
/// (CheckSerial) as it is made. Which of them are free is the store's to say.
class SerialCandidates {
 public:
  /// Format counters never search further than this for a free serial.
  static constexpr std::uint64_t kSearchMax = 1000000;

  /// `counter`: the number the store keeps for a format series (0: none).
  SerialCandidates(const SerialSeries& series, std::uint64_t counter);

  /// The next serial to try; null when there is none, with the reason (every
  /// serial of the list tried, the search limit reached, the series'
  /// numbers exhausted, a serial that cannot be burned) in *error.
  std::optional<std::string> Next(std::string* error);
  /// For a format: the counter a store keeps once the serial Next gave last
  /// was taken (its number + 1; 2^64 - 1 itself after the last number, which
  /// the store then finds handed out).
  std::uint64_t CounterAfter() const { return m_number; }

 private:
  const SerialSeries& m_series;
  std::size_t m_index = 0;     // a list's next
  std::uint64_t m_number = 0;  // a format's next number
  std::uint64_t m_tried = 0;
  bool m_exhausted = false;  // the number 2^64 - 1 was offered
};

}  // namespace tessarin
