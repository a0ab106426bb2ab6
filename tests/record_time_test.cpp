// The records' times: now in UTC, and the --since times an export takes.
#include "station/record_time.h"

#include <gtest/gtest.h>

#include <regex>

namespace tessarin {
namespace {

TEST(NormaliseSinceTime, TakesTheUtcShapesAndRefusesTheRest) {
  struct Case {
    const char* text;
    const char* normal;  // null: refused
  };
  const Case cases[] = {
      {"2026-12-08", "2026-12-08"},
      {"2026-12-08Z", "2026-12-08"},
      {"2026-12-08T14", "2026-12-08T14"},
      {"2026-12-08T14:00", "2026-12-08T14:00"},
      {"2026-12-08 14:00", "2026-12-08T14:00"},
      {"2026-12-08 14:00:05", "2026-12-08T14:00:05"},
      {"2026-12-08T14:00:05Z", "2026-12-08T14:00:05"},
      {"2026-12-08T14:00:05z", "2026-12-08T14:00:05"},
      {"", nullptr},
      {"yesterday", nullptr},
      {"2026-12-8", nullptr},        // digits missing
      {"2026/12/08", nullptr},       // other separators
      {"2026-12-08T14:0", nullptr},  // cut in a field
      // As the records print their times.
      {"2026-12-09T09:14:50.111Z", "2026-12-09T09:14:50.111"},
      {"2026-12-09 09:14:50.1", "2026-12-09T09:14:50.1"},
      {"2026-12-08T14:00:05.", nullptr},
      {"2026-12-08T14:00:05.1234Z", nullptr},  // finer than the records
      {"2026-12-08T14:00.123", nullptr},       // a fraction of no second
      {"2026-12-08T14:00:05.1x3", nullptr},
      // Impossible times.
      {"2026-13-45T99:99", nullptr},
      {"2026-02-30", nullptr},
      {"2026-00-10", nullptr},
      {"2026-12-00", nullptr},
      {"2027-02-29", nullptr},
      {"2028-02-29", "2028-02-29"},  // a leap year
      {"2026-12-08T24", nullptr},
      {"2026-12-08T23:60", nullptr},
      {"2026-12-08T23:59:60", nullptr},
      {"2026-12-08T23:59:59", "2026-12-08T23:59:59"},
      {"2026-12-08T14:00:05+01:00", nullptr},  // UTC only
      {"2026-12-08  14:00", nullptr},
      {"Z", nullptr},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto normal = NormaliseSinceTime(c.text, &error);
    if (c.normal == nullptr) {
      EXPECT_FALSE(normal) << c.text;
      EXPECT_NE(error.find("expected a UTC time such as 2026-12-08"), std::string::npos) << c.text;
    } else {
      ASSERT_TRUE(normal) << c.text << ": " << error;
      EXPECT_EQ(*normal, c.normal);
    }
  }
}

TEST(UtcNowIso8601, IsUtcWithMillisecondsAndFoundBySinceItsOwnDay) {
  const std::string now = UtcNowIso8601();
  EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)")))
      << now;
  // Compared as text, a record started now is at or after its own day.
  EXPECT_GE(now, *NormaliseSinceTime(now.substr(0, 10), nullptr));
  EXPECT_GE(now, *NormaliseSinceTime(now.substr(0, 19), nullptr));
  // Its very own text finds it, and a millisecond later does not.
  EXPECT_GE(now, *NormaliseSinceTime(now, nullptr));
  std::string later = now;
  later[22] = later[22] == '9' ? '9' : static_cast<char>(later[22] + 1);
  if (later != now) {
    EXPECT_LT(now, *NormaliseSinceTime(later, nullptr));
  }
}

}  // namespace
}  // namespace tessarin
