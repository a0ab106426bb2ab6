// What every store that keeps rows says and decides the same way: the
// operator's release of a serial, the words of a settled unit, the columns of
// a unit record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/record_store.h"

namespace tessarin {

/// Why `serial`, in `state` (null: never handed out, or not read, with
/// `readError` the reason), cannot be released; null when it can (it is
/// failed or spent).
std::optional<std::string> ReleaseRefusal(const std::string& serial,
                                          std::optional<SerialState> state,
                                          const std::string& readError);

/// The message of a unit whose station ended before the unit did.
inline constexpr char kInterruptedMessage[] =
    "the station ended before this unit was finished; its serial is spent";

/// The columns of a unit record in a store's rows, every field but the id,
/// in this order.
inline constexpr std::array<const char*, 21> kUnitColumnNames = {
    "started_at",   "ended_at",      "station",     "port",        "device",     "version_before",
    "cur_before",   "version_after", "cur_after",   "image_path",  "image_size", "image_sha256",
    "serial",       "outcome",       "status_code", "status_text", "bytes",      "duration_ms",
    "tool_version", "backup_file",   "message"};

/// "started_at, ended_at, ..." with `prefix` before each name.
std::string UnitColumnList(const std::string& prefix = "");
/// The record's fields in the column order, numbers and the outcome's word as text.
std::vector<std::string> UnitColumnTexts(const UnitRecord& record);
/// The record of unit `id` from its texts in the column order (as
/// UnitColumnTexts gives them); null with the reason when its result is no
/// word a store writes or a number is none.
std::optional<UnitRecord> UnitFromColumnTexts(std::int64_t id,
                                              const std::vector<std::string>& texts,
                                              std::string* error);

/// A serial as a store keeps it.
struct StoredSerial {
  std::string m_serial;
  std::string m_series;  ///< the key of the series that handed it out
  SerialState m_state = SerialState::kFree;
  std::int64_t m_unitId = 0;  ///< the unit that holds (or last held) it; 0: none
};

/// Everything a store keeps of units and serials, to copy it into another.
struct StoreContents {
  std::vector<UnitRecord> m_units;      ///< oldest first
  std::vector<StoredSerial> m_serials;  ///< in the order they were first handed out
  std::vector<std::pair<std::string, std::uint64_t>> m_counters;  ///< series, next number
  /// Names the store's origin (its first session's host, process and start), so
  /// that a copy can tell it was made before; empty when the store never had a
  /// session.
  std::string m_origin;
};

}  // namespace tessarin
