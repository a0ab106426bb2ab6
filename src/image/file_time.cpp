#include "image/file_time.h"

#include <cstdio>

#include "platform/file_io.h"

namespace tessarin {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void CivilFromDays(int64_t days, int* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

}  // namespace

uint64_t ShiftFileTime(uint64_t ticks, int32_t biasMinutes) {
  // Two's-complement wrap-around, as an add with carry into the 64-bit count would give.
  const int64_t shift = static_cast<int64_t>(biasMinutes) * -static_cast<int64_t>(kTicksPerMinute);
  return ticks + static_cast<uint64_t>(shift);
}

bool FileTimeToSystemTime(uint64_t ticks, SystemTime* out) {
  if (ticks > 0x7FFFFFFFFFFFFFFFULL) return false;
  const uint64_t seconds = ticks / kTicksPerSecond;
  SystemTime t;
  t.m_milliseconds = static_cast<int>((ticks % kTicksPerSecond) / 10000);
  const uint64_t secondOfDay = seconds % 86400;
  t.m_hour = static_cast<int>(secondOfDay / 3600);
  t.m_minute = static_cast<int>(secondOfDay / 60 % 60);
  t.m_second = static_cast<int>(secondOfDay % 60);
  CivilFromDays(static_cast<int64_t>(seconds / 86400) - kDaysFrom1601To1970, &t.m_year, &t.m_month,
                &t.m_day);
  *out = t;
  return true;
}

int32_t TimeZoneBias() { return PlatformTimeZoneBias(); }

ConvertedFileTime ConvertFileTime(uint64_t ticks, int32_t biasMinutes) {
  ConvertedFileTime result;
  result.m_shifted = ShiftFileTime(ticks, biasMinutes);
  result.m_valid = FileTimeToSystemTime(result.m_shifted, &result.m_fields);
  return result;
}

ConvertedFileTime ConvertFileTime(uint64_t ticks) { return ConvertFileTime(ticks, TimeZoneBias()); }

std::string FormatFileTime(const SystemTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%4d-%02d-%02d, %02d:%02d:%02d", t.m_year, t.m_month, t.m_day,
                t.m_hour, t.m_minute, t.m_second);
  return text;
}

}  // namespace tessarin
