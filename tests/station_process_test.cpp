// The built tool's station killed at random moments and run twice at once on
// one store, against simulated devices that keep their EEPROMs in files.
#include <gtest/gtest.h>

#include <algorithm>
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
#include <vector>

#include "hid/protocol.h"
#include "sqlite_rows.h"
#include "store/sqlite_record_store.h"
#include "support/eeprom_serials.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SerialsOnDevices;

class StationProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    m_db = (m_dir / "store.db").string();
    m_image = (m_dir / "fw.rom").string();
    ASSERT_EQ(Run({"make-image", m_image, "--size", "4096", "--version", "3.1"}), 0);
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

  static int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
      ++count;
    }
    return count;
  }

  /// The records of a store as --json exports them.
  std::vector<nlohmann::json> Records(const std::string& db) {
    std::vector<nlohmann::json> records;
    EXPECT_EQ(Run({"--json", "records", "--db", db}), 0);
    std::istringstream lines(Text("out.txt"));
    for (std::string line; std::getline(lines, line);) {
      records.push_back(nlohmann::json::parse(line));
    }
    return records;
  }

  std::map<std::string, std::string> SerialStates() {
    return SqliteRows(m_db, "SELECT serial, state FROM serials");
  }

  testing::ScratchDir m_scratch{"tessarin-station-run"};
  const fs::path m_dir = m_scratch.path();
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
    // Every fourth run dies only after a unit passed, so some serials reach
    // devices however slow the build is; the others at any moment.
    if (run % 4 == 0) WaitForOutput("station", "\"result\":\"passed\"");
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

// A second Ctrl+C, and every request after which the program is ended
// (SIGTERM, SIGHUP; on Windows the console window closed, log-off), stops the
// running burns at their next block before the program ends: each device is
// left with byte 0 = 0xFF, each unit is recorded stopped and its serial is
// free again.
TEST_F(StationProcess, StopRequestsMidBurnLeaveEveryUnitStoppedAndItsSerialFree) {
  enum Systems { kBoth, kLinux, kWindows };
  const struct {
    const char* name;
    StopEvent event;
    int times;
    Systems on;
  } cases[] = {
      {"Ctrl+C twice", StopEvent::kInterrupt, 2, kBoth},
      {"SIGTERM", StopEvent::kTerminate, 1, kLinux},
      {"SIGHUP", StopEvent::kHangUp, 1, kLinux},
      {"console closed", StopEvent::kConsoleClosed, 1, kWindows},
      {"log-off", StopEvent::kLogOff, 1, kWindows},
      {"session end", StopEvent::kEndSession, 1, kWindows},
  };
  int sent = 0;
  std::string refusal;
  for (std::size_t index = 0; index < std::size(cases); ++index) {
    const auto& c = cases[index];
    if (c.on != kBoth && (c.on == kLinux) != IsPosixSystem()) continue;
    SCOPED_TRACE(c.name);
    const std::string name = "stop-" + std::to_string(index);
    const fs::path units = m_dir / name;
    const std::string db = (m_dir / (name + ".db")).string();
    fs::create_directories(units);
    const long pid = Start(
        {"--simulate",
         "dir=" + units.string() + ";units=3,ports=3,every=1ms,linger=10s,latency=2ms", "--json",
         "station", m_image, "--db", db, "--serial-format", "S-{:03}", "--max-units", "3"},
        name);
    ASSERT_GT(pid, 0);
    // All three burning.
    for (int i = 0; i < 2000 && Count(Text(name + ".out"), "\"started\"") < 3; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(Count(Text(name + ".out"), "\"started\""), 3) << Text(name + ".out");
    std::string error;
    bool sendable = true;
    for (int i = 1; i <= c.times && sendable; ++i) {
      sendable = SendStopEvent(pid, c.event, &error);
      // The next one only once this one was heard: signals do not queue.
      if (sendable && i < c.times) WaitForOutput(name, "\"notice\"");
    }
    if (!sendable) {
      std::cout << c.name << " not sent: " << error << "\n";
      refusal = error;
      KillProgram(pid);
      continue;
    }
    ++sent;
    const int code = WaitProgram(pid, std::chrono::seconds(60));
    // Windows ends the program itself after the requests it holds it for.
    if (IsPosixSystem() || c.event == StopEvent::kInterrupt) {
      EXPECT_EQ(code, 1) << Text(name + ".err");
    }
    int devices = 0;
    for (const auto& entry : fs::recursive_directory_iterator(units)) {
      if (entry.path().extension() != ".eeprom") continue;
      ++devices;
      std::ifstream in(entry.path(), std::ios::binary);
      EXPECT_EQ(in.get(), 0xFF) << entry.path() << " holds a valid image";
    }
    EXPECT_EQ(devices, 3);
    const auto outcomes = SqliteRows(db, "SELECT id, outcome FROM units");
    EXPECT_EQ(outcomes.size(), 3u);
    for (const auto& [id, outcome] : outcomes) EXPECT_EQ(outcome, "stopped") << "unit " << id;
    const auto serials = SqliteRows(db, "SELECT serial, state FROM serials");
    for (const auto& [serial, state] : serials) EXPECT_EQ(state, "free") << serial;
    EXPECT_EQ(SqliteRows(db, "SELECT id, end_reason FROM sessions"),
              (std::map<std::string, std::string>{{"1", "ended"}}));
  }
  if (sent == 0) GTEST_SKIP() << "this system could send none of them: " << refusal;
}

TEST_F(StationProcess, TwoStationsOnOneStoreHandOutDisjointSerials) {
  std::vector<long> pids;
  for (const char* name : {"a", "b"}) {
    const fs::path units = m_dir / name;
    fs::create_directories(units);
    pids.push_back(
        // Each device stays until its burn is over, however loaded the machine.
        Start({"--simulate", "dir=" + units.string() + ";units=6,ports=3,every=1ms,linger=400ms",
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
      // Devices only refused: nothing passed, so the run did not succeed.
      {{"--simulate", "vid=1234", "station", m_image, "--db", m_db, "--once"},
       3,
       "no unit was burned: 1 device was refused"},
      // A unit that vanishes at once is gone before the station looks.
      {{"--simulate", "units=1,vanish-after=0", "station", m_image, "--db", m_db, "--once"},
       3,
       "no device found"},
      {{"--simulate", "fail-send=10,fail-send=11,fail-send=12", "station", m_image, "--db", m_db,
        "--once", "--serial-format", "F-{}"},
       1,
       "FAIL F-1"},
      {{"station", m_image, "--db", m_db, "--serial-format", "KS-000"}, 2, "placeholder"},
      {{"station", m_image, "--db", m_db, "--serial-list", longList}, 2, ":2: serial"},
      {{"station", m_image, "--db", notADb}, 2, "record store"},
      {{"records", "--db", (m_dir / "none.db").string()}, 2, "no record store"},
      {{"records", "--db", m_db, "--since", "yesterday"}, 2, "--since"},
      {{"records", "--db", m_db, "--since", ""}, 2, "--since \"\""},
      {{"records", "--db", m_db, "--since", "2026-13-45T99:99"}, 2, "--since"},
      {{"records", "--db", m_db, "--since", "2026-02-30"}, 2, "--since"},
      {{"records", "--db", m_db, "--since", "2026-12-09T09:14:50.111Z", "--json"}, 0, ""},
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

TEST_F(StationProcess, EveryUnitGetsABackupFileOfItsOwn) {
  const fs::path units = m_dir / "units";
  const fs::path backups = m_dir / "backups";
  fs::create_directories(units);
  fs::create_directories(backups);
  // Three units through one port, well within a second.
  ASSERT_EQ(Run({"--simulate", "dir=" + units.string() + ";units=3,ports=1,every=50ms,linger=200ms",
                 "station", m_image, "--db", m_db, "--max-units", "3", "--backup-dir",
                 (m_dir / "backups/../backups").string()}),
            0)
      << Text("err.txt");
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(backups)) files.insert(entry.path().string());
  EXPECT_EQ(files.size(), 3u);
  const auto records = Records(m_db);
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    const fs::path backup = record["backup"].get<std::string>();
    EXPECT_TRUE(backup.is_absolute()) << backup;
    EXPECT_TRUE(fs::is_regular_file(backup)) << backup;
    EXPECT_EQ(fs::file_size(backup), EEPROM_BYTES);
    EXPECT_TRUE(fs::path(record["image"].get<std::string>()).is_absolute());
  }

  // A file where the folder was meant is told apart from a missing folder.
  EXPECT_EQ(Run({"--simulate", "default", "station", m_image, "--db", m_db, "--once",
                 "--backup-dir", m_image}),
            2);
  EXPECT_NE(Text("err.txt").find("not a directory"), std::string::npos) << Text("err.txt");
}

TEST_F(StationProcess, SerialsAreCheckedAsTextWhereverTheyComeFrom) {
  const auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream out(m_dir / name, std::ios::binary);
    out << bytes;
    return (m_dir / name).string();
  };
  const std::string fresh = (m_dir / "never.db").string();
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--serial-list", write("ff.txt", "B1\xff\n")},
       ":1: serial \"B1\\xFF\": it is not valid UTF-8"},
      {{"--serial-list", write("bom-twice.txt",
                               "\xEF\xBB\xBF"
                               "A1\nA1\n")},
       ":2: serial \"A1\" is listed twice"},
      {{"--serial-list", write("huge.txt", "A1\n" + std::string(5 << 20, 'L') + "\n")},
       ":2: serial \"LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL\"... (5242880 bytes)"},
      {{"--serial-format", "X\xff{}"}, "--serial-format \"X\\xFF{}\": serial \"X\\xFF1\""},
      {{"--serial-format", "KS-{:-6}"}, "N a width from 1 to 31"},
      {{"--serial-format", "KS-{:00}"}, "N a width from 1 to 31"},
      {{"--serial-format", "KS-{}", "--serial-start", "-1"}, "--serial-start \"-1\""},
      {{"--serial-format", "KS-{}", "--serial-start", "18446744073709551616"}, "larger than"},
      {{"--serial-format", "ABCDEFGHIJKLMNOPQRSTUVWXYZ{}", "--max-units", "1"},
       "only 99999 units fit from 1: the serial of number 100000"},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    // A Windows command line is UTF-16: invalid bytes cannot reach the
    // program through it (they arrive as "?"), so only files carry them.
    if (c.args[0] == "--serial-format" && c.args[1].find('\xff') != std::string::npos) continue;
#endif
    std::vector<std::string> args = {"--simulate", "default", "station", m_image,
                                     "--db",       fresh,     "--once"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.back().substr(0, 60));
    EXPECT_EQ(Run(args), 2);
    const std::string err = Text("err.txt");
    EXPECT_NE(err.find(c.says), std::string::npos) << err.substr(0, 400);
    EXPECT_LT(err.size(), 1000u) << "the message is cut";
  }
  // A run refused for its devices leaves no store behind either.
  EXPECT_EQ(Run({"--simulate", "no-such-key=1", "station", m_image, "--db", fresh, "--once"}), 2);
  EXPECT_FALSE(fs::exists(fresh)) << "a refused run left a store";

  // A byte-order mark in front of the first serial is not burned.
  const fs::path units = m_dir / "units";
  fs::create_directories(units);
  ASSERT_EQ(Run({"--simulate", "dir=" + units.string() + ";units=2,ports=2,every=1ms,linger=50ms",
                 "station", m_image, "--db", m_db, "--max-units", "2", "--serial-list",
                 write("bom.txt",
                       "\xEF\xBB\xBF"
                       "F1\r\nF2\r\n")}),
            0)
      << Text("err.txt");
  std::set<std::string> serials;
  for (const auto& [serial, file] : SerialsOnDevices(units)) serials.insert(serial);
  EXPECT_EQ(serials, (std::set<std::string>{"F1", "F2"}));
  std::set<std::string> recorded;
  for (const auto& record : Records(m_db)) recorded.insert(record["serial"]);
  EXPECT_EQ(recorded, serials);
}

TEST_F(StationProcess, TheCsvExportHasItsHeaderAndNoLiveFormulas) {
  // An empty store still gives the header.
  ASSERT_EQ(Run({"--simulate", "none", "station", m_image, "--db", m_db, "--once"}), 3);
  ASSERT_EQ(Run({"records", "--db", m_db, "--csv"}), 0);
  const std::string empty = Text("out.txt");
  EXPECT_EQ(empty.substr(0, 16), "id,startedAt,end");
  EXPECT_EQ(std::count(empty.begin(), empty.end(), '\n'), 1) << empty;

  {
    std::ofstream out(m_dir / "formulas.txt", std::ios::binary);
    out << "=1+1\n+cmd\n-2\n@SUM(A1)\n";
  }
  const fs::path units = m_dir / "units";
  fs::create_directories(units);
  ASSERT_EQ(Run({"--simulate", "dir=" + units.string() + ";units=4,ports=4,every=1ms,linger=50ms",
                 "station", m_image, "--db", m_db, "--max-units", "4", "--name",
                 "=HYPERLINK(\"x\")", "--serial-list", (m_dir / "formulas.txt").string()}),
            0)
      << Text("err.txt");
  ASSERT_EQ(Run({"records", "--db", m_db, "--csv"}), 0);
  const std::string csv = Text("out.txt");
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);  // the header
  std::set<std::string> serials;
  int rows = 0;
  for (; std::getline(lines, line); ++rows) {
    // Records end in CR LF on Windows (text output): the CR ends the line,
    // it begins no field.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // No field begins with a character that makes a formula.
    std::size_t at = 0;
    for (;;) {
      const char first = at < line.size() ? line[at] : ',';
      const char second = first == '"' && at + 1 < line.size() ? line[at + 1] : first;
      EXPECT_EQ(std::string("=+-@\t\r").find(second), std::string::npos) << line;
      at = line.find(',', at);
      if (at == std::string::npos) break;
      ++at;
    }
    EXPECT_NE(line.find(",\"'=HYPERLINK(\"\"x\"\")\","), std::string::npos) << line;
    for (const char* serial : {"'=1+1", "'+cmd", "'-2", "'@SUM(A1)"}) {
      if (line.find(std::string(",") + serial + ",") != std::string::npos) serials.insert(serial);
    }
  }
  EXPECT_EQ(rows, 4);
  EXPECT_EQ(serials.size(), 4u) << csv;
  // The JSON export keeps the texts as they are.
  std::set<std::string> plain;
  for (const auto& record : Records(m_db)) plain.insert(record["serial"]);
  EXPECT_EQ(plain, (std::set<std::string>{"=1+1", "+cmd", "-2", "@SUM(A1)"}));
  // Each record's start, as printed, finds that record and the later ones.
  const auto records = Records(m_db);
  for (const auto& record : records) {
    const std::string start = record["startedAt"];
    const auto later = std::count_if(records.begin(), records.end(),
                                     [&](const auto& r) { return r["startedAt"] >= start; });
    ASSERT_EQ(Run({"--json", "records", "--db", m_db, "--since", start}), 0);
    const std::string since = Text("out.txt");
    EXPECT_EQ(std::count(since.begin(), since.end(), '\n'), later) << start << "\n" << since;
  }
}

// The first unit of a plug plan is there when the station first looks: --once burns it every
// time, never "no device found".
TEST_F(StationProcess, OnceFindsThePlugPlansFirstUnitEveryTime) {
  for (int run = 0; run < 50; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ASSERT_EQ(
        Run({"--simulate", "units=1,latency=20us", "station", m_image, "--db", m_db, "--once"}), 0)
        << Text("err.txt");
    EXPECT_NE(Text("out.txt").find("passed 1"), std::string::npos) << Text("out.txt");
  }
}

}  // namespace
}  // namespace tessarin
