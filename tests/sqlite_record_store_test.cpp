// The SQLite file store: the common record-store tests, and what only a file
// on one machine has (the words it stores, a file that is no database, the
// choice of store by the --db location).
#include "store/sqlite_record_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "record_store_conformance.h"
#include "sqlite_rows.h"
#include "station/record_time.h"
#include "store/open_record_store.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;

fs::path FreshDir(const std::string& name) {
  static std::atomic<int> counter{0};
  const fs::path dir = fs::temp_directory_path() /
                       ("tessarin-store-" + name + "-" + std::to_string(CurrentProcessId()) + "-" +
                        std::to_string(counter++));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

/// Runs one statement on the file, outside any store.
void Execute(const fs::path& db, const char* sql) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.string().c_str(), &raw), SQLITE_OK);
  sqlite3_busy_timeout(raw, 5000);
  EXPECT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
  sqlite3_close(raw);
}

/// A station's session on the file that starts a unit on `port` with the
/// series' next serial and is gone before the unit ends (session left open).
void StartAUnitAndStop(const fs::path& db, const SerialSeries& series, const std::string& port) {
  std::string error;
  auto store = SqliteRecordStore::Open(db.string(), &error);
  ASSERT_TRUE(store && store->BeginSession({port}, nullptr, &error)) << error;
  UnitRecord unit;
  unit.m_startedAt = "2026-12-08T08:00:00.000Z";
  unit.m_port = port;
  ASSERT_TRUE(store->StartUnit(&unit, &series, &error)) << error;
}

class SqliteFactory : public RecordStoreFactory {
 public:
  SqliteFactory() : m_dir(FreshDir("conformance")) {}
  ~SqliteFactory() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
  std::unique_ptr<RecordStore> Open(std::string* error) override {
    return SqliteRecordStore::Open((m_dir / "s.db").string(), error);
  }
  void MakeOpenSessionsLookDead() override {
    // Far above any pid_max: no such process on this host.
    Execute(m_dir / "s.db", "UPDATE sessions SET pid = 2000000000 WHERE ended_at IS NULL");
  }

 private:
  fs::path m_dir;
};

INSTANTIATE_TEST_SUITE_P(Sqlite, RecordStoreConformance,
                         ::testing::Values(RecordStoreMaker{
                             "Sqlite", [] { return std::make_unique<SqliteFactory>(); }}),
                         RecordStoreMakerName);

TEST(SqliteRecordStore, RefusesAFileThatIsNoDatabase) {
  const fs::path dir = FreshDir("bad");
  const fs::path db = dir / "s.db";
  {
    std::ofstream out(db, std::ios::binary);
    out << std::string(4096, 'x');
  }
  std::string error;
  EXPECT_FALSE(SqliteRecordStore::Open(db.string(), &error));
  EXPECT_NE(error.find(db.string()), std::string::npos);
  fs::remove_all(dir);
}

// Files written by earlier versions, and shells and scripts reading them,
// rely on these words.
TEST(SqliteRecordStore, StoresTheWordsEarlierFilesHold) {
  const fs::path dir = FreshDir("words");
  const fs::path db = dir / "s.db";
  std::string error;
  const auto format = SerialFormat::Parse("W{}", &error);
  const auto series = MakeFormatSeries(*format, 1, &error);
  StartAUnitAndStop(db, *series, "interrupted");  // W1
  Execute(db, "UPDATE sessions SET pid = 2000000000 WHERE ended_at IS NULL");
  auto store = SqliteRecordStore::Open(db.string(), &error);
  ASSERT_TRUE(store && store->BeginSession({"s"}, nullptr, &error)) << error;
  struct Case {
    const char* port;
    UnitOutcome outcome;
    SerialFate fate;
  };
  const Case cases[] = {
      {"passed", UnitOutcome::kPassed, SerialFate::kUsed},        // W2 used
      {"failed", UnitOutcome::kFailed, SerialFate::kFailed},      // W3 failed
      {"stopped", UnitOutcome::kStopped, SerialFate::kReturned},  // W4 free
  };
  for (const Case& c : cases) {
    UnitRecord unit;
    unit.m_startedAt = UtcNowIso8601();
    unit.m_port = c.port;
    ASSERT_TRUE(store->StartUnit(&unit, &*series, &error)) << error;
    unit.m_outcome = c.outcome;
    ASSERT_TRUE(store->FinishUnit(unit, c.fate, &error)) << error;
  }
  UnitRecord running;
  running.m_startedAt = UtcNowIso8601();
  running.m_port = "running";
  ASSERT_TRUE(store->StartUnit(&running, &*series, &error));  // W4 again, reserved
  UnitRecord refused;
  refused.m_startedAt = UtcNowIso8601();
  refused.m_port = "refused";
  refused.m_outcome = UnitOutcome::kRefused;
  ASSERT_TRUE(store->AddUnit(&refused, &error));

  EXPECT_EQ(SqliteRows(db.string(), "SELECT port, outcome FROM units"),
            (std::map<std::string, std::string>{{"interrupted", "interrupted"},
                                                {"passed", "passed"},
                                                {"failed", "failed"},
                                                {"stopped", "stopped"},
                                                {"running", "running"},
                                                {"refused", "refused"}}));
  EXPECT_EQ(SqliteRows(db.string(), "SELECT serial, state FROM serials"),
            (std::map<std::string, std::string>{
                {"W1", "spent"}, {"W2", "used"}, {"W3", "failed"}, {"W4", "reserved"}}));
  store.reset();
  fs::remove_all(dir);
}

// A session's reserved serials stay its own while its station runs and are
// spent once it is gone. The process id and that process's start time name
// the station, so an id another process got since keeps nothing alive; the
// sessions of files from before the start time was kept get the column and
// are told by the id alone.
TEST(SqliteRecordStore, ASessionLivesOnlyWhileItsOwnProcessRuns) {
  constexpr char kGone[] = "UPDATE sessions SET pid = 2000000000 WHERE ended_at IS NULL";
  constexpr char kOldFile[] = "ALTER TABLE sessions DROP COLUMN process_start";
  struct Case {
    const char* name;
    std::vector<const char*> changes;  // to the file before the next start
    const char* state;                 // of the session's serial after it
  };
  const Case cases[] = {
      {"its own process runs", {}, "reserved"},
      {"its id now names another process",
       {"UPDATE sessions SET process_start = process_start + 1 WHERE ended_at IS NULL"},
       "spent"},
      {"no start time known, its id runs",
       {"UPDATE sessions SET process_start = NULL WHERE ended_at IS NULL"},
       "reserved"},
      {"no start time known, its id is gone",
       {"UPDATE sessions SET process_start = NULL WHERE ended_at IS NULL", kGone},
       "spent"},
      {"an earlier version's file, its id runs", {kOldFile}, "reserved"},
      {"an earlier version's file, its id is gone", {kOldFile, kGone}, "spent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = FreshDir("alive");
    const fs::path db = dir / "s.db";
    std::string error;
    const auto format = SerialFormat::Parse("A{}", &error);
    const auto series = MakeFormatSeries(*format, 1, &error);
    StartAUnitAndStop(db, *series, "first");  // A1, reserved
    for (const char* change : c.changes) Execute(db, change);
    auto next = SqliteRecordStore::Open(db.string(), &error);
    ASSERT_TRUE(next) << error;
    std::vector<SpentSerial> spent;
    ASSERT_TRUE(next->BeginSession({"next"}, &spent, &error)) << error;
    EXPECT_EQ(SqliteRows(db.string(), "SELECT serial, state FROM serials"),
              (std::map<std::string, std::string>{{"A1", c.state}}));
    EXPECT_EQ(spent.size(), std::string(c.state) == "spent" ? 1u : 0u);
    // Every file has the column from its first open on, and the new session
    // its start time in it.
    EXPECT_EQ(SqliteRows(db.string(),
                         "SELECT station, process_start IS NOT NULL FROM sessions "
                         "WHERE station = 'next'"),
              (std::map<std::string, std::string>{{"next", "1"}}));
    next.reset();
    fs::remove_all(dir);
  }
}

TEST(SqliteRecordStore, ReadingAResultItNeverWroteFailsAndSaysWhich) {
  const fs::path dir = FreshDir("unknown");
  const fs::path db = dir / "s.db";
  std::string error;
  auto store = SqliteRecordStore::Open(db.string(), &error);
  ASSERT_TRUE(store && store->BeginSession({"s"}, nullptr, &error)) << error;
  UnitRecord unit;
  unit.m_startedAt = UtcNowIso8601();
  ASSERT_TRUE(store->AddUnit(&unit, &error));
  Execute(db, "UPDATE units SET outcome = 'exploded'");
  EXPECT_FALSE(store->Units("", &error));
  EXPECT_NE(error.find("\"exploded\""), std::string::npos) << error;
  store.reset();
  fs::remove_all(dir);
}

TEST(OpenRecordStore, TheLocationChoosesTheStore) {
  struct Case {
    const char* location;
    RecordStoreKind kind;
  };
  const Case cases[] = {
      {"tessarin-station.db", RecordStoreKind::kSqliteFile},
      {"/var/lib/line 3/records.db", RecordStoreKind::kSqliteFile},
      {"run=3.db", RecordStoreKind::kSqliteFile},  // '=' in a file name
      {"postgres.db", RecordStoreKind::kSqliteFile},
      {"postgresql://station@db1/records", RecordStoreKind::kServer},
      {"postgres://db1:5433/records", RecordStoreKind::kServer},
      {"host=db1 dbname=records", RecordStoreKind::kServer},
      {"  dbname = records", RecordStoreKind::kServer},
      {"service=line3", RecordStoreKind::kServer},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RecordStoreKindOf(c.location), c.kind) << c.location;
  }
}

TEST(OpenRecordStore, OpensAFileAndNeverShowsAServersPassword) {
  const fs::path dir = FreshDir("open");
  std::string error;
  auto file = OpenRecordStore((dir / "s.db").string(), &error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(fs::exists(dir / "s.db"));
  // No server listens there: a build with the server store fails to
  // connect, one without says it has none; neither names the password.
  const std::string socket = (dir / "none").string();
  for (const std::string& server :
       {"postgresql://u:secret@/r?host=" + socket, "host=" + socket + " password=secret"}) {
    error.clear();
    EXPECT_FALSE(OpenRecordStore(server, &error)) << server;
    EXPECT_NE(error.find("record store"), std::string::npos) << error;
    EXPECT_EQ(error.find("secret"), std::string::npos) << error;
  }
  file.reset();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tessarin
