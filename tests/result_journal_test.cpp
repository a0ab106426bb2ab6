// The journal on the station: what a server store keeps while its server is
// away survives the station, whole, and stays apart per store.
#include "store/result_journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;

class Journal : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    m_dir = fs::temp_directory_path() / ("tessarin-journal-" + std::to_string(CurrentProcessId()) +
                                         "-" + std::to_string(counter++));
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }
  std::unique_ptr<ResultJournal> Open(const std::string& name = "j.db") {
    std::string error;
    auto journal = ResultJournal::Open((m_dir / name).string(), &error);
    EXPECT_TRUE(journal) << error;
    return journal;
  }
  fs::path m_dir;
};

UnitRecord Whole() {
  UnitRecord r;
  r.m_id = 41;
  r.m_startedAt = "2026-12-08T09:00:00.000Z";
  r.m_endedAt = "2026-12-08T09:00:07.500Z";
  r.m_station = "line-3";
  r.m_port = "1-2.3";
  r.m_device = "0495:8041";
  r.m_versionBefore = "1.0";
  r.m_curBefore = "1";
  r.m_versionAfter = "2.5";
  r.m_curAfter = "7";
  r.m_imagePath = "/fw/fw, \"final\".rom";
  r.m_imageSize = 30000;
  r.m_imageSha256 = std::string(64, 'a');
  r.m_serial = "KS-000041";
  r.m_outcome = UnitOutcome::kStopped;
  r.m_statusCode = 2;
  r.m_statusText = "Downloading failed";
  r.m_bytes = 12288;
  r.m_durationMs = 7500;
  r.m_toolVersion = "0.9.1";
  r.m_backupFile = "/backups/b.eeprom";
  r.m_message = "unplugged during the burn;\nthe device holds no valid image";
  return r;
}

TEST_F(Journal, KeepsEveryFieldAcrossARestartForItsStoreOnly) {
  std::string error;
  const UnitRecord unit = Whole();
  {
    auto journal = Open();
    ASSERT_TRUE(journal);
    ASSERT_TRUE(
        journal->Keep("store-a", ResultJournal::Kind::kFinish, unit, SerialFate::kFailed, &error))
        << error;
    UnitRecord refused = unit;
    refused.m_id = 0;
    refused.m_outcome = UnitOutcome::kRefused;
    ASSERT_TRUE(journal->Keep("store-a", ResultJournal::Kind::kAdd, refused, SerialFate::kReturned,
                              &error));
    ASSERT_TRUE(
        journal->Keep("store-b", ResultJournal::Kind::kFinish, unit, SerialFate::kUsed, &error));
  }
  auto journal = Open();  // the station started again
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->Count("store-a"), 2);
  EXPECT_EQ(journal->Count("store-b"), 1);
  EXPECT_EQ(journal->Count("store-c"), 0);
  const auto kept = journal->Kept("store-a", &error);
  ASSERT_TRUE(kept) << error;
  ASSERT_EQ(kept->size(), 2u);
  EXPECT_EQ((*kept)[0].m_kind, ResultJournal::Kind::kFinish);
  EXPECT_EQ((*kept)[0].m_fate, SerialFate::kFailed);
  EXPECT_EQ((*kept)[0].m_unit, unit);
  EXPECT_EQ((*kept)[1].m_kind, ResultJournal::Kind::kAdd);
  EXPECT_EQ((*kept)[1].m_unit.m_outcome, UnitOutcome::kRefused);
  EXPECT_NE((*kept)[0].m_key, (*kept)[1].m_key);

  ASSERT_TRUE(journal->Forget((*kept)[0].m_seq, &error)) << error;
  EXPECT_EQ(journal->Count("store-a"), 1);
  EXPECT_EQ(journal->Kept("store-a", &error)->front().m_key, (*kept)[1].m_key);
}

TEST_F(Journal, KeysDifferBetweenJournalsAndAreNeverReused) {
  std::string error;
  auto first = Open("first.db");
  auto second = Open("second.db");
  ASSERT_TRUE(first && second);
  std::set<std::string> keys;
  for (int i = 0; i < 3; ++i) {
    for (ResultJournal* journal : {first.get(), second.get()}) {
      ASSERT_TRUE(
          journal->Keep("s", ResultJournal::Kind::kAdd, Whole(), SerialFate::kUsed, &error));
      const auto kept = journal->Kept("s", &error);
      ASSERT_TRUE(kept);
      // Written and forgotten at once: the next entry's key is still new.
      for (const auto& entry : *kept) {
        EXPECT_TRUE(keys.insert(entry.m_key).second) << entry.m_key;
        journal->Forget(entry.m_seq, &error);
      }
    }
  }
  EXPECT_EQ(keys.size(), 6u);
}

TEST_F(Journal, AFileThatIsNoDatabaseIsRefusedWithItsName) {
  const fs::path path = m_dir / "bad.db";
  std::ofstream(path, std::ios::binary) << std::string(4096, 'x');
  std::string error;
  EXPECT_FALSE(ResultJournal::Open(path.string(), &error));
  EXPECT_NE(error.find("journal " + path.string()), std::string::npos) << error;
}

}  // namespace
}  // namespace tessarin
