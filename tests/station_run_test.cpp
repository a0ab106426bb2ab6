// The built tool's station killed at random moments and run twice at once on
// one store, against simulated devices that keep their EEPROMs in files.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "cli/station_display.h"
#include "hid/protocol.h"
#include "station/sqlite_record_store.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StationProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    m_dir =
        fs::temp_directory_path() / ("tessarin-station-run-" + std::to_string(CurrentProcessId()) +
                                     "-" + std::to_string(counter++));
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    m_db = (m_dir / "store.db").string();
    m_image = (m_dir / "fw.rom").string();
    ASSERT_EQ(Run({"make-image", m_image, "--size", "4096", "--version", "3.1"}), 0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  int Run(const std::vector<std::string>& args) {
    std::string error;
    const int code =
        RunProgram(TESSARIN_CLI_PATH, args, m_dir / "out.txt", m_dir / "err.txt", &error);
    EXPECT_GE(code, 0) << error;
    return code;
  }
  long Start(const std::vector<std::string>& args, const std::string& name) {
    std::string error;
    const long pid = StartProgram(TESSARIN_CLI_PATH, args, m_dir / (name + ".out"),
                                  m_dir / (name + ".err"), &error);
    EXPECT_GT(pid, 0) << error;
    return pid;
  }
  /// Waits (up to 10 s) until the output of the program started as `name`
  /// holds `text`.
  void WaitForOutput(const std::string& name, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      if (Text(name + ".out").find(text) != std::string::npos) return;
      std::this_thread::sleep_for(10ms);
    }
  }
  std::string Text(const std::string& name) {
    std::ifstream in(m_dir / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  /// The serial in a kept EEPROM's descriptor; empty when there is none.
  static std::string SerialIn(const fs::path& eepromFile) {
    std::ifstream in(eepromFile, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() < EEPROM_BYTES) return "";
    const auto at = [&](std::size_t i) {
      return static_cast<std::uint8_t>(bytes[SERIAL_ADDRESS + i]);
    };
    if (at(0) == 0xFF || at(1) != 0x03 || at(0) < 2 || at(0) > 64) return "";
    std::string serial;
    for (std::size_t i = 2; i < at(0); i += 2) serial += static_cast<char>(at(i));
    return serial;
  }

  /// Every serial on any unit's device under `root`, with the file it is in.
  static std::multimap<std::string, fs::path> SerialsOnDevices(const fs::path& root) {
    std::multimap<std::string, fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.path().extension() != ".eeprom") continue;
      const std::string serial = SerialIn(entry.path());
      if (!serial.empty()) found.emplace(serial, entry.path());
    }
    return found;
  }

  std::map<std::string, std::string> SerialStates() {
    std::map<std::string, std::string> states;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(m_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT serial, state FROM serials", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
      states[reinterpret_cast<const char*>(sqlite3_column_text(s, 0))] =
          reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return states;
  }

  fs::path m_dir;
  std::string m_db;
  std::string m_image;
};

TEST_F(StationProcess, KilledAtRandomMomentsNeverGivesASerialToTwoDevices) {
  std::mt19937 random(20261208);
  constexpr int kRuns = 60;
  int killed = 0;
  for (int run = 0; run < kRuns; ++run) {
    const fs::path units = m_dir / ("run-" + std::to_string(run));
    fs::create_directories(units);
    std::string spec =
        "dir=" + units.string() + ";units=3,ports=3,every=1ms,linger=80ms,latency=20us";
    // Every other run a device also vanishes in the middle of its burn.
    if (run % 2 == 1) spec += ",vanish-after=" + std::to_string(20 + random() % 300);
    const long pid = Start({"--simulate", spec, "--json", "station", m_image, "--db", m_db,
                            "--serial-format", "K-{:05}", "--max-units", "3"},
                           "station");
    // The moment is drawn from the station's work, not its start-up, which
    // a loaded or instrumented build may make longer than the whole window.
    WaitForOutput("station", "\"arrived\"");
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
    const int code = KillProgram(pid);
    if (code == 128 + 9) ++killed;
    // The store opens cleanly after every death.
    std::string error;
    ASSERT_TRUE(SqliteRecordStore::Open(m_db, &error)) << "after run " << run << ": " << error;
  }
  // Enough runs were killed mid-way, not after their end (how many depends
  // on the machine's load).
  EXPECT_GE(killed, kRuns / 4);
  // One more start settles what the last one left.
  EXPECT_EQ(Run({"--simulate", "none", "station", m_image, "--db", m_db, "--once"}), 3);

  const auto onDevices = SerialsOnDevices(m_dir);
  const auto states = SerialStates();
  std::set<std::string> distinct;
  for (const auto& [serial, file] : onDevices) {
    EXPECT_TRUE(distinct.insert(serial).second) << serial << " is on two devices";
    const auto state = states.find(serial);
    ASSERT_NE(state, states.end()) << serial << " on " << file << " is not in the store";
    EXPECT_TRUE(state->second == "used" || state->second == "failed" || state->second == "spent")
        << serial << " on " << file << " is " << state->second;
  }
  for (const auto& [serial, state] : states) {
    EXPECT_NE(state, "reserved") << serial << " is still reserved after a clean start";
  }
  EXPECT_GE(onDevices.size(), 5u);
  std::cout << killed << " of " << kRuns << " runs killed; " << onDevices.size()
            << " serials on devices, " << states.size() << " in the store\n";
}

TEST_F(StationProcess, TwoStationsOnOneStoreHandOutDisjointSerials) {
  std::vector<long> pids;
  for (const char* name : {"a", "b"}) {
    const fs::path units = m_dir / name;
    fs::create_directories(units);
    pids.push_back(
        Start({"--simulate", "dir=" + units.string() + ";units=6,ports=3,every=1ms,linger=80ms",
               "--json", "station", m_image, "--db", m_db, "--name", name, "--serial-format",
               "D-{:04}", "--max-units", "6"},
              name));
  }
  std::set<std::string> serials;
  int passed = 0;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    const std::string name = i == 0 ? "a" : "b";
    EXPECT_EQ(WaitProgram(pids[i], std::chrono::seconds(60)), 0) << Text(name + ".err");
    std::istringstream lines(Text(name + ".out"));
    for (std::string line; std::getline(lines, line);) {
      const auto event = nlohmann::json::parse(line);
      if (event["event"] != "finished") continue;
      EXPECT_TRUE(event["ok"].get<bool>()) << line;
      ++passed;
      EXPECT_TRUE(serials.insert(event["serial"].get<std::string>()).second)
          << event["serial"] << " was handed out twice";
    }
  }
  EXPECT_EQ(passed, 12);
  EXPECT_EQ(SerialsOnDevices(m_dir).size(), 12u);

  // The export holds the twelve units, from both stations.
  ASSERT_EQ(Run({"--json", "records", "--db", m_db}), 0);
  std::istringstream lines(Text("out.txt"));
  std::set<std::string> stations;
  int records = 0;
  for (std::string line; std::getline(lines, line); ++records) {
    const auto record = nlohmann::json::parse(line);
    stations.insert(record["station"].get<std::string>());
    EXPECT_EQ(record["result"], "passed");
    EXPECT_EQ(record["imageSize"], 4096);
    EXPECT_EQ(record["imageSha256"].get<std::string>().size(), 64u);
  }
  EXPECT_EQ(records, 12);
  EXPECT_EQ(stations, (std::set<std::string>{"a", "b"}));
}

TEST_F(StationProcess, OnceUsageAndExportsEndWithTheirExitCodes) {
  const std::string longList = (m_dir / "long.txt").string();
  {
    std::ofstream out(longList);
    out << "OK-1\n" << std::string(32, 'X') << "\n";
  }
  const std::string notADb = (m_dir / "fw.rom").string();
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;  // in the output or the error stream
  };
  const Case cases[] = {
      // A Kestrova device is burned, a foreign one refused: every unit passed.
      {{"--simulate", "default;vid=1234", "station", m_image, "--db", m_db, "--once",
        "--serial-list", (m_dir / "fw.rom").string() + ".missing"},
       2,
       "--serial-list"},
      {{"--simulate", "default;vid=1234", "station", m_image, "--db", m_db, "--once"},
       0,
       "REFUSED Not Kestrova Device"},
      {{"--simulate", "none", "station", m_image, "--db", m_db, "--once"}, 3, "no device found"},
      {{"--simulate", "fail-send=10,fail-send=11,fail-send=12", "station", m_image, "--db", m_db,
        "--once", "--serial-format", "F-{}"},
       1,
       "FAIL F-1"},
      {{"station", m_image, "--db", m_db, "--serial-format", "KS-000"}, 2, "placeholder"},
      {{"station", m_image, "--db", m_db, "--serial-list", longList}, 2, ":2: serial"},
      {{"station", m_image, "--db", notADb}, 2, "record store"},
      {{"records", "--db", (m_dir / "none.db").string()}, 2, "no record store"},
      {{"records", "--db", m_db, "--since", "yesterday"}, 2, "--since"},
      {{"records", "--db", m_db, "--csv"}, 0, "id,startedAt,endedAt,station,port,device"},
      {{"records", "--db", m_db, "--since", "2999-01-01"}, 0, "No units recorded since"},
      // The unit that failed before its descriptor gave its serial back.
      {{"release-serial", "F-1", "--db", m_db}, 2, "free already"},
      {{"release-serial", "F-9", "--db", m_db}, 2, "never handed out"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_EQ(Run(c.args), c.code) << shown << Text("out.txt") << Text("err.txt");
    const std::string all = Text("out.txt") + Text("err.txt");
    EXPECT_NE(all.find(c.says), std::string::npos) << shown << "\n" << all;
  }
}

TEST(StationDisplay, SlotLinesKeepSerialAndTimeWhateverTheWidth) {
  struct Case {
    std::string state;
    long count, total;
    int columns;
    const char* expected;
  };
  const Case cases[] = {
      {"Downloading...", 16384, 32768, 80,
       "port-1     Downloading...    50% [##########..........]  KS-000001  01:05"},
      {"PASS Successed", 0, 0, 80, "port-1     PASS Successed  KS-000001  01:05"},
      // A long refusal is cut; the serial and the time stay on the line.
      {"REFUSED " + std::string(100, 'x'), 0, 0, 40, "port-1     REFUSED xx  KS-000001  01:05"},
  };
  for (const Case& c : cases) {
    const std::string line =
        FormatSlotLine("port-1", c.state, c.count, c.total, "KS-000001", 65.2, c.columns);
    EXPECT_EQ(line, c.expected);
    EXPECT_LE(static_cast<int>(line.size()), c.columns - 1);
  }
  StationSummary summary;
  summary.m_passed = 3;
  summary.m_failed = 1;
  summary.m_refused = 2;
  summary.m_seconds = 120;
  EXPECT_EQ(FormatSummaryLine(summary),
            "passed 3  failed 1  stopped 0  refused 2  120.0 units/h  02:00");
}

TEST(StationDisplay, APipeGetsOneLinePerEventAndOneStatusPerStage) {
  std::ostringstream out;
  auto display = CreateStationDisplay(ProgressStyle::kLines, out, 80);
  StationEvent e;
  e.m_port = "p1";
  e.m_kind = StationEventKind::kStarted;
  e.m_serial = "S1";
  display->OnEvent(e);
  e.m_kind = StationEventKind::kStatus;
  e.m_text = "Downloading...";
  e.m_code = 1;
  for (long count : {0, 60, 120}) {
    e.m_count = count;
    display->OnEvent(e);
  }
  e.m_kind = StationEventKind::kFinished;
  e.m_outcome = kOutcomePassed;
  e.m_text = "Successed";
  e.m_version = "1.0";
  e.m_cur = "1";
  e.m_seconds = 1.5;
  display->OnEvent(e);
  EXPECT_EQ(out.str(),
            "p1: burning serial S1\np1: Downloading...\n"
            "p1: PASS S1 Successed, 1.5 s, device version 1.0, Cur 1\n");
}

}  // namespace
}  // namespace tessarin
