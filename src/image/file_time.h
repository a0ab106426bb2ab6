// File times: 100 ns ticks since 1601-01-01 UTC, shifted by the zone's base bias and split.
#pragma once

#include <cstdint>
#include <string>

namespace tessarin {

inline constexpr uint64_t kTicksPerMinute = 600000000ULL;
/// Ticks between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

struct SystemTime {
  int m_year = 0;
  int m_month = 0;  ///< 1..12
  int m_day = 0;    ///< 1..31
  int m_hour = 0;
  int m_minute = 0;
  int m_second = 0;
  int m_milliseconds = 0;
};

/// T = ticks + biasMinutes * (-600000000), with 64-bit wrap-around (UTC = local + bias).
uint64_t ShiftFileTime(uint64_t ticks, int32_t biasMinutes);

/// Splits ticks into calendar fields. False for values above 0x7FFFFFFFFFFFFFFF (as the
/// platform's own split does); *out is then left alone.
bool FileTimeToSystemTime(uint64_t ticks, SystemTime* out);

/// The zone's base (standard-time) bias in minutes, UTC = local standard time + bias. Read
/// afresh at every call, so a change of zone is seen. No daylight offset is involved.
int32_t TimeZoneBias();

struct ConvertedFileTime {
  uint64_t m_shifted = 0;  ///< the value stored as m_lastFileTime
  bool m_valid = false;    ///< m_fields could be computed
  SystemTime m_fields;
};

/// Shifts a last-write time by the current zone's base bias and splits it. No daylight-saving
/// offset is added: the result is local standard time all year.
ConvertedFileTime ConvertFileTime(uint64_t ticks);
ConvertedFileTime ConvertFileTime(uint64_t ticks, int32_t biasMinutes);

/// "%4d-%02d-%02d, %02d:%02d:%02d".
std::string FormatFileTime(const SystemTime& t);

}  // namespace tessarin
