// The progress display's formatting: bar, plain lines and JSON events.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "burn/burn_status.h"
#include "cli/progress.h"

namespace tessarin {
namespace {

TEST(CliProgress, BarLineFitsEveryWidthAndShowsTheCounts) {
  ProgressSnapshot snapshot{"Downloading...", 16384, 32768, 2.0, 3.0};
  for (int columns : {20, 40, 60, 80, 200}) {
    std::string line = FormatBarLine(snapshot, columns);
    EXPECT_LE(static_cast<int>(line.size()), columns - 1) << columns;
    EXPECT_EQ(line.rfind("Downloading...", 0), 0u) << line;
  }
  std::string wide = FormatBarLine(snapshot, 120);
  EXPECT_NE(wide.find(" 50% "), std::string::npos) << wide;
  EXPECT_NE(wide.find("16384/32768 bytes"), std::string::npos) << wide;
  EXPECT_NE(wide.find("8.0 KB/s"), std::string::npos) << wide;
  EXPECT_NE(wide.find("00:03"), std::string::npos) << wide;
  EXPECT_NE(wide.find("[" + std::string(15, '#') + std::string(15, '.') + "]"), std::string::npos)
      << wide;
}

TEST(CliProgress, RateAndPercentStayInRange) {
  EXPECT_EQ(FormatRate(1000, 0), "-");
  EXPECT_EQ(FormatRate(2 * 1024 * 1024, 1.0), "2.0 MB/s");
  // A count past the total (the last verify post carries the image size)
  // never shows more than 100 %.
  std::string line = FormatPlainLine({"Verifying...", 40000, 32768, 1.0, 1.0});
  EXPECT_EQ(line.rfind("Verifying... 100% ", 0), 0u) << line;
}

TEST(CliProgress, PlainLinesAtStageStartEachQuarterAndTheResult) {
  std::ostringstream out;
  double now = 0;
  ProgressReporter reporter(ProgressStyle::kLines, out, 100, 80, [&] { return now; });
  for (long count : {0L, 10L, 30L, 40L, 60L, 90L, 100L})
    reporter.PostStatus(BurnStatus::BURN_DOWNLOADING, count);
  reporter.PostStatus(BurnStatus::BURN_SUCCESS, 0);
  std::vector<std::string> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);)
    lines.push_back(line.substr(0, line.find(' ', 16)));
  ASSERT_EQ(lines.size(), 6u) << out.str();
  EXPECT_EQ(lines[0].rfind("Downloading... 0%", 0), 0u);
  EXPECT_EQ(lines[1].rfind("Downloading... 30%", 0), 0u);
  EXPECT_EQ(lines[2].rfind("Downloading... 60%", 0), 0u);
  EXPECT_EQ(lines[3].rfind("Downloading... 90%", 0), 0u);
  EXPECT_EQ(lines[4].rfind("Downloading... 100%", 0), 0u);
  EXPECT_EQ(lines[5], "Successed");
}

TEST(CliProgress, JsonEventPerPostWithCodeCountAndTotal) {
  std::ostringstream out;
  ProgressReporter reporter(ProgressStyle::kJson, out, 100, 80, [] { return 0.0; });
  reporter.PostStatus(BurnStatus::BURN_VERIFYING, 65);
  reporter.Progress("Reading...", 64);
  reporter.PostStatus(BurnStatus::BURN_VERIFY_FAILED, 0);
  std::istringstream in(out.str());
  std::string line;
  std::getline(in, line);
  auto first = nlohmann::json::parse(line);
  EXPECT_EQ(first["code"], 4);
  EXPECT_EQ(first["text"], "Verifying...");
  EXPECT_EQ(first["count"], 65);
  EXPECT_EQ(first["total"], 100);
  std::getline(in, line);
  auto second = nlohmann::json::parse(line);
  EXPECT_FALSE(second.contains("code"));
  EXPECT_EQ(second["count"], 64);
  std::getline(in, line);
  auto third = nlohmann::json::parse(line);
  EXPECT_EQ(third["code"], 5);
  EXPECT_EQ(third["text"], "Verifying failed");
  EXPECT_FALSE(third.contains("count"));
}

TEST(CliProgress, BarRedrawsInPlaceAndEndsItsLineBeforeTheResult) {
  std::ostringstream out;
  ProgressReporter reporter(ProgressStyle::kBar, out, 100, 60, [] { return 0.0; });
  reporter.PostStatus(BurnStatus::BURN_DOWNLOADING, 0);
  reporter.PostStatus(BurnStatus::BURN_DOWNLOADING, 60);
  reporter.PostStatus(BurnStatus::BURN_DOWNLOAD_FAILED, 0);
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2);
  EXPECT_NE(text.find("\nDownloading failed\n"), std::string::npos) << text;
}

TEST(CliProgress, CompareSummaryThenDownloadAndVerifyRunOverTheBytesToWrite) {
  for (ProgressStyle style : {ProgressStyle::kJson, ProgressStyle::kLines}) {
    std::ostringstream out;
    ProgressReporter reporter(style, out, 2000, 80, [] { return 0.0; });
    reporter.PostStatus(BurnStatus::BURN_COMPARING, 2000);
    reporter.CompareFinished({32, 2, 100});
    reporter.PostStatus(BurnStatus::BURN_DOWNLOADING, 60);
    reporter.PostStatus(BurnStatus::BURN_VERIFYING, 100);
    ASSERT_TRUE(reporter.Compared());
    EXPECT_EQ(reporter.Compared()->SkippedBlocks(), 30);
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << out.str();
    if (style == ProgressStyle::kLines) {
      EXPECT_EQ(lines[0].rfind("Comparing... 100% 2000/2000 bytes", 0), 0u) << lines[0];
      EXPECT_EQ(lines[1], "2 of 32 blocks differ (100 bytes to write); 30 skipped");
      EXPECT_EQ(lines[2].rfind("Downloading... 60% 60/100 bytes", 0), 0u) << lines[2];
      EXPECT_EQ(lines[3].rfind("Verifying... 100% 100/100 bytes", 0), 0u) << lines[3];
      continue;
    }
    EXPECT_EQ(nlohmann::json::parse(lines[0])["total"], 2000);
    auto compare = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(compare["event"], "compare");
    EXPECT_EQ(compare["blocks"], 32);
    EXPECT_EQ(compare["changedBlocks"], 2);
    EXPECT_EQ(compare["skippedBlocks"], 30);
    EXPECT_EQ(compare["bytesToWrite"], 100);
    EXPECT_EQ(nlohmann::json::parse(lines[2])["total"], 100);
    EXPECT_EQ(nlohmann::json::parse(lines[3])["total"], 100);
  }
}

TEST(CliProgress, CompareSummaryTextCountsInWordsThatAgree) {
  struct Case {
    CompareSummary summary;  // blocks, changed, bytes to write, uncompared
    const char* text;
  } cases[] = {
      {{32, 2, 100, 0}, "2 of 32 blocks differ (100 bytes to write); 30 skipped"},
      {{512, 1, 1, 0}, "1 of 512 blocks differs (1 byte to write); 511 skipped"},
      {{512, 0, 0, 0}, "0 of 512 blocks differ (0 bytes to write); 512 skipped"},
      {{1, 1, 63, 0}, "1 of 1 block differs (63 bytes to write); 0 skipped"},
      {{512, 512, 32762, 479},
       "33 of the first 33 blocks differ, so the other 479 are written without comparing "
       "(32762 bytes to write); 0 skipped"},
      {{34, 34, 2170, 1},
       "33 of the first 33 blocks differ, so the other 1 is written without comparing "
       "(2170 bytes to write); 0 skipped"},
      {{512, 481, 28825, 448},
       "33 of the first 64 blocks differ, so the other 448 are written without comparing "
       "(28825 bytes to write); 31 skipped"},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    ProgressReporter reporter(ProgressStyle::kLines, out, 32768, 80, [] { return 0.0; });
    reporter.CompareFinished(c.summary);
    EXPECT_EQ(out.str(), std::string(c.text) + "\n");
  }
  std::ostringstream out;
  ProgressReporter reporter(ProgressStyle::kJson, out, 32768, 80, [] { return 0.0; });
  reporter.CompareFinished({512, 512, 32762, 479});
  const auto compare = nlohmann::json::parse(out.str());
  EXPECT_EQ(compare["comparedBlocks"], 33);
  EXPECT_EQ(compare["skippedBlocks"], 0);
}

}  // namespace
}  // namespace tessarin
