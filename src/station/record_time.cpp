#include "station/record_time.h"

#include <chrono>
#include <cstdio>

namespace tessarin {

std::string UtcNowIso8601() { return UtcIso8601(std::chrono::system_clock::now()); }

std::string UtcIso8601(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(at);
  const auto day = floor<days>(now);
  const year_month_day ymd(day);
  const hh_mm_ss<milliseconds> time(now - day);
  char text[40];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ldZ", static_cast<int>(ymd.year()),
      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
      static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
      static_cast<long>(time.seconds().count()), static_cast<long>(time.subseconds().count()));
  return text;
}

std::optional<std::string> NormaliseSinceTime(const std::string& text, std::string* error) {
  const auto fail = [&]() {
    if (error) {
      *error =
          "expected a UTC time such as 2026-12-08, 2026-12-08T14:00, 2026-12-08T14:00:05Z or "
          "2026-12-08T14:00:05.123Z";
    }
    return std::nullopt;
  };
  std::string t = text;
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
  if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
  // Milliseconds, as the records hold them: one to three digits after the
  // seconds (more would not compare right with the records' three).
  std::size_t length = t.size();
  if (length > 20 && length <= 23 && t[19] == '.') length = 19;
  // Shapes accepted, by position: digits (d), the one separator, and the rest literal.
  const std::string shape = "dddd-dd-ddTdd:dd:dd.ddd";
  bool ok = t.size() == 10 || t.size() == 13 || t.size() == 16 || length == 19;
  for (std::size_t i = 0; ok && i < t.size(); ++i) {
    ok = shape[i] == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == shape[i];
  }
  if (!ok) return fail();
  // A field the shape has checked for digits; 0 where the text ends before it.
  const auto number = [&t](std::size_t at, std::size_t digits) {
    int value = 0;
    for (std::size_t i = at; i < at + digits && i < t.size(); ++i)
      value = value * 10 + (t[i] - '0');
    return value;
  };
  using namespace std::chrono;
  const year_month_day date{year(number(0, 4)), month(static_cast<unsigned>(number(5, 2))),
                            day(static_cast<unsigned>(number(8, 2)))};
  if (!date.ok() || number(11, 2) > 23 || number(14, 2) > 59 || number(17, 2) > 59) return fail();
  return t;
}

}  // namespace tessarin
