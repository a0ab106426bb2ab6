// Serial formats, serial lists and the candidates a series offers a store.
#include "station/serial_series.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <limits>

#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;

TEST(SerialFormat, PlaceholdersAndMistakes) {
  struct Case {
    const char* format;
    std::uint64_t n;
    const char* expected;  // null: refused
  };
  const Case cases[] = {
      {"KS-{:06}", 42, "KS-000042"},
      {"KS-{:06}", 1234567, "KS-1234567"},
      {"{}", 7, "7"},
      {"A{:4}B", 7, "A   7B"},
      {"{{x}}-{}", 3, "{x}-3"},
      {"KS-000", 1, nullptr},   // no number: every unit would share one serial
      {"{}-{}", 1, nullptr},    // two numbers
      {"KS-{:x}", 1, nullptr},  // not a width
      {"KS-{", 1, nullptr},
      {"KS-}", 1, nullptr},
      {"{:099}", 1, nullptr},  // wider than any descriptor
  };
  for (const Case& c : cases) {
    std::string error;
    const auto format = SerialFormat::Parse(c.format, &error);
    if (c.expected == nullptr) {
      EXPECT_FALSE(format) << c.format;
      EXPECT_NE(error, "") << c.format;
    } else {
      ASSERT_TRUE(format) << c.format << ": " << error;
      EXPECT_EQ(format->Format(c.n), c.expected) << c.format;
    }
  }
  std::string error;
  // 28 characters of text leave no room for the number a million units on.
  const auto tight = SerialFormat::Parse(std::string(28, 'K') + "{}", &error);
  ASSERT_TRUE(tight);
  EXPECT_FALSE(MakeFormatSeries(*tight, 1, &error));
  EXPECT_NE(error.find("31"), std::string::npos);
  const auto roomy = SerialFormat::Parse(std::string(24, 'K') + "{}", &error);
  ASSERT_TRUE(roomy);
  EXPECT_TRUE(MakeFormatSeries(*roomy, 1, &error));
}

TEST(SerialFormat, AWidthIsOneToThirtyOneInPlainDigits) {
  struct Case {
    const char* format;
    const char* expected;  // of number 1; null: refused with the grammar
  };
  const Case cases[] = {
      {"KS-{:6}", "KS-     1"}, {"KS-{:06}", "KS-000001"}, {"{:10}", "         1"},
      {"{:010}", "0000000001"}, {"KS-{:-6}", nullptr},     {"{:-0}", nullptr},
      {"{:-99}", nullptr},      {"{:00}", nullptr},        {"{:0-5}", nullptr},
      {"{:0}", nullptr},        {"{:+5}", nullptr},        {"{:06 }", nullptr},
      {"{: 6}", nullptr},       {"{:32}", nullptr},        {"{:0010}", nullptr},
      {"{:}", nullptr},         {"{:6x}", nullptr},        {"{x}", nullptr},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto format = SerialFormat::Parse(c.format, &error);
    if (c.expected == nullptr) {
      EXPECT_FALSE(format) << c.format << " gives " << format->Format(1);
      EXPECT_NE(error.find("{:N} or {:0N}, N a width from 1 to 31"), std::string::npos)
          << c.format << ": " << error;
    } else {
      ASSERT_TRUE(format) << c.format << ": " << error;
      EXPECT_EQ(format->Format(1), c.expected) << c.format;
    }
  }
}

TEST(SerialFormat, TheTextAroundTheNumberIsCheckedAsASerial) {
  struct Case {
    std::string format;
    const char* says;
  };
  const Case cases[] = {
      {"X\xff{}", "not valid UTF-8"},
      {"X\x01{}", "control character"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto format = SerialFormat::Parse(c.format, &error);
    ASSERT_TRUE(format) << error;
    EXPECT_FALSE(MakeFormatSeries(*format, 1, &error)) << c.format;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    // The bad byte is shown, never sent to the terminal as it is.
    EXPECT_EQ(error.find_first_of("\xff\x01"), std::string::npos) << error;
  }
}

TEST(SerialFormat, ASeriesThatOutgrowsTheDescriptorSaysWhereAndHowManyFit) {
  struct Case {
    std::string format;
    std::uint64_t start;
    const char* says;  // null: the series fits
  };
  const Case cases[] = {
      // 26 letters and six digits are 32 characters: number 100000 is the first too long.
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ{}", 1,
       "only 99999 units fit from 1: the serial of number "
       "100000, \"ABCDEFGHIJKLMNOPQRSTUVWXYZ100000\", is the "
       "first"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ{}", 99990, "only 10 units fit from 99990"},
      {std::string(24, 'K') + "{}", 1, nullptr},
      // Zeros first: no serial gets longer within the million.
      {std::string(25, 'K') + "{:06}", 1, "only 999999 units fit"},
      {std::string(24, 'K') + "{:07}", 1, nullptr},
      // Near the end of the numbers the check itself must not wrap around.
      {"{}", std::numeric_limits<std::uint64_t>::max() - 5, nullptr},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto format = SerialFormat::Parse(c.format, &error);
    ASSERT_TRUE(format) << error;
    const auto series = MakeFormatSeries(*format, c.start, &error);
    if (c.says == nullptr) {
      EXPECT_TRUE(series) << c.format << ": " << error;
    } else {
      EXPECT_FALSE(series) << c.format;
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
  }
}

TEST(SerialNumber, DigitsOnlyUpToTheLastNumber) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"0", 0u},
      {"1", 1u},
      {"007", 7u},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x10", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(ParseSerialNumber(c.text, &error), c.expected) << "\"" << c.text << "\"";
    if (!c.expected) {
      EXPECT_NE(error, "") << c.text;
    }
  }
}

TEST(SerialList, ReadsOnePerLineAndRefusesWhatCannotBeBurned) {
  static std::atomic<int> counter{0};
  const fs::path dir =
      fs::temp_directory_path() /
      ("tessarin-serials-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(counter++));
  fs::create_directories(dir);
  struct Case {
    const char* text;
    std::vector<std::string> serials;  // empty: refused
    const char* why;
  };
  const Case cases[] = {
      {"A1\r\n\n  A2  \nA3", {"A1", "A2", "A3"}, ""},
      {"A1\nA2\nA1\n", {}, ":3: serial \"A1\" is listed twice"},
      {"A1\nXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX\n", {}, ":2: "},
      {"\n \n", {}, "holds no serial"},
      // An editor's byte-order mark is no part of the first serial.
      {"\xEF\xBB\xBF"
       "F1\nF2\n",
       {"F1", "F2"},
       ""},
      {"\xEF\xBB\xBF"
       "A1\nA1\n",
       {},
       ":2: serial \"A1\" is listed twice"},
      // Text that is not UTF-8 would reach the device as no character at all.
      {"B0\nB1\xff\n", {}, ":2: serial \"B1\\xFF\": it is not valid UTF-8"},
      {"B1\xC3\n", {}, ":1: serial \"B1\\xC3\": it is not valid UTF-8"},
      {"\xED\xA0\x80\n", {}, ":1: "},  // an encoded surrogate
      {"B1\x1b[2J\n", {}, ":1: serial \"B1\\x1B[2J\": character 3 is a control character"},
  };
  for (const Case& c : cases) {
    const fs::path file = dir / "serials.txt";
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << c.text;
    }
    std::string error;
    const auto list = ReadSerialList(file.string(), &error);
    if (c.serials.empty()) {
      EXPECT_FALSE(list) << c.text;
      EXPECT_NE(error.find(c.why), std::string::npos) << error;
      EXPECT_EQ(error.rfind(file.string(), 0), 0u) << "names the file first: " << error;
    } else {
      ASSERT_TRUE(list) << error;
      EXPECT_EQ(*list, c.serials);
    }
  }
  std::string error;
  EXPECT_FALSE(ReadSerialList((dir / "missing.txt").string(), &error));
  EXPECT_NE(error.find("missing.txt"), std::string::npos);
  fs::remove_all(dir);
}

/// Every serial `candidates` offers until it has none, and why it ended.
std::vector<std::string> Drain(SerialCandidates& candidates, std::string* why,
                               std::size_t limit = 5) {
  std::vector<std::string> got;
  while (got.size() < limit) {
    const auto next = candidates.Next(why);
    if (!next) break;
    got.push_back(*next);
  }
  return got;
}

TEST(SerialCandidates, ASeriesEndsAtItsLastNumberAndNeverStartsAgain) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::string error;
  const auto format = SerialFormat::Parse("KS-{}", &error);
  const SerialSeries series = *MakeFormatSeries(*format, kMax - 1, &error);
  SerialCandidates candidates(series, 0);
  std::string why;
  EXPECT_EQ(Drain(candidates, &why),
            (std::vector<std::string>{"KS-18446744073709551614", "KS-18446744073709551615"}));
  EXPECT_NE(why.find("is exhausted"), std::string::npos) << why;
  EXPECT_EQ(candidates.CounterAfter(), kMax);
  // A store whose counter stands at the end offers the last number once more (it finds it
  // taken), then nothing.
  SerialCandidates again(series, kMax);
  EXPECT_EQ(Drain(again, &why), (std::vector<std::string>{"KS-18446744073709551615"}));
}

TEST(SerialCandidates, AListInItsOrderAFormatFromTheHigherOfStartAndCounter) {
  SerialSeries list;
  list.m_list = {"L1", "L2"};
  list.m_listFile = "/l.txt";
  std::string error;
  const auto format = SerialFormat::Parse("F{:02}", &error);
  SerialSeries counted = *MakeFormatSeries(*format, 5, &error);
  const char* kListTaken =
      "every serial of /l.txt is taken; add serials to the list (or release spent ones)";
  struct Case {
    const SerialSeries* series;
    std::uint64_t counter;
    std::vector<std::string> expected;
    const char* why;  // after the list ran out; empty: still going
  };
  const Case cases[] = {
      {&list, 0, {"L1", "L2"}, kListTaken},
      {&list, 40, {"L1", "L2"}, kListTaken},  // a list keeps no counter
      {&counted, 0, {"F05", "F06", "F07", "F08", "F09"}, ""},
      {&counted, 3, {"F05", "F06", "F07", "F08", "F09"}, ""},
      {&counted, 98, {"F98", "F99", "F100", "F101", "F102"}, ""},
  };
  for (const Case& c : cases) {
    SerialCandidates candidates(*c.series, c.counter);
    std::string why;
    EXPECT_EQ(Drain(candidates, &why), c.expected) << c.counter;
    EXPECT_EQ(why, c.why);
  }
  SerialCandidates candidates(counted, 98);
  candidates.Next(&error);
  EXPECT_EQ(candidates.CounterAfter(), 99u);  // the number after the one given
}

TEST(SerialCandidates, AFormatStopsAtTheSearchLimitAndAtASerialTooLong) {
  std::string error;
  const auto format = SerialFormat::Parse("N{}", &error);
  SerialSeries series = *MakeFormatSeries(*format, 1, &error);
  SerialCandidates all(series, 0);
  std::uint64_t offered = 0;
  std::string why;
  while (all.Next(&why)) ++offered;
  EXPECT_EQ(offered, SerialCandidates::kSearchMax);
  EXPECT_NE(why.find("no free serial within a million numbers of N{}"), std::string::npos) << why;

  // Far on, the number no longer fits the descriptor: it is never offered.
  const auto wide = SerialFormat::Parse(std::string(22, 'W') + "{}", &error);
  SerialSeries tight = *MakeFormatSeries(*wide, 1, &error);
  SerialCandidates far(tight, 1000000000);  // ten digits: 32 characters
  why.clear();
  EXPECT_FALSE(far.Next(&why));
  EXPECT_NE(why.find("31"), std::string::npos) << why;
}

}  // namespace
}  // namespace tessarin
