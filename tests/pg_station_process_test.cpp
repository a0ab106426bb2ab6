// Stations as separate processes of the built tool on one PostgreSQL server,
// against simulated devices that keep their EEPROMs in files: three at once,
// killed at random moments, the server restarted under them, one station's
// connection cut, a schema from the future; after each, no serial is on two
// devices, every serial on a device is known to the server, and no unit a
// station reported is missing from the records.
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

#include "support/eeprom_serials.h"
#include "support/image_test_dir.h"
#include "support/pg_database_test.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::SerialsOnDevices;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// What a station printed with --json, by event.
struct Reported {
  std::multimap<std::string, nlohmann::json> m_events;  // by "event"
  std::vector<nlohmann::json> Of(const std::string& kind) const {
    std::vector<nlohmann::json> all;
    const auto [begin, end] = m_events.equal_range(kind);
    for (auto it = begin; it != end; ++it) all.push_back(it->second);
    return all;
  }
};

Reported ReadEvents(const fs::path& file) {
  Reported reported;
  std::istringstream lines(ReadText(file));
  for (std::string line; std::getline(lines, line);) {
    // A station killed mid-line leaves half a line.
    const auto event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.contains("event")) continue;
    reported.m_events.emplace(event["event"].get<std::string>(), event);
  }
  return reported;
}

class PgStations : public testing::PgDatabaseTest {
 protected:
  void SetUp() override {
    PgDatabaseTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_image = (m_dir / "fw.rom").string();
    ASSERT_EQ(Run({"make-image", m_image, "--size", "4096", "--version", "3.1"}), 0);
  }
  void TearDown() override {
    for (const long pid : m_running) KillProgram(pid);
    PgDatabaseTest::TearDown();
  }

  int Run(const std::vector<std::string>& args) {
    std::string error;
    const int code =
        RunProgram(TESSARIN_CLI_PATH, args, m_dir / "out.txt", m_dir / "err.txt", &error);
    EXPECT_GE(code, 0) << error;
    return code;
  }
  /// Starts station `name` with `units` simulated units on 3 ports (their
  /// EEPROMs in a folder of its own, `plan` the rest of their item) and at
  /// most `maxUnits` burned.
  long StartStation(const std::string& name, int units, int maxUnits,
                    const std::string& plan = "linger=80ms,latency=20us") {
    const fs::path devices = m_dir / name;
    fs::create_directories(devices);
    std::string error;
    const long pid =
        StartProgram(TESSARIN_CLI_PATH,
                     {"--simulate",
                      "dir=" + devices.string() + ";units=" + std::to_string(units) +
                          ",ports=3,every=1ms," + plan,
                      "--json", "station", m_image, "--db", m_uri, "--journal",
                      (m_dir / (name + ".journal")).string(), "--name", name, "--serial-format",
                      "P-{:05}", "--max-units", std::to_string(maxUnits)},
                     m_dir / (name + ".out"), m_dir / (name + ".err"), &error);
    EXPECT_GT(pid, 0) << error;
    if (pid > 0) m_running.insert(pid);
    return pid;
  }
  int Wait(long pid, std::chrono::seconds limit = std::chrono::seconds(120)) {
    m_running.erase(pid);
    return WaitProgram(pid, limit);
  }
  int Kill(long pid) {
    m_running.erase(pid);
    return KillProgram(pid);
  }
  /// Waits (up to 20 s) until station `name` reported `count` events `kind`.
  bool WaitForEvents(const std::string& name, const std::string& kind, int count) {
    for (int i = 0; i < 2000; ++i) {
      if (static_cast<int>(ReadEvents(m_dir / (name + ".out")).Of(kind).size()) >= count) {
        return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  /// What every run must leave, whatever happened in it: no serial on two
  /// devices, each serial on a device known to the server in a state that
  /// keeps it (used, failed, spent), and every unit a station reported
  /// finished recorded with its result. The number of serials on devices.
  std::size_t CheckSerialsAndRecords(const std::vector<std::string>& stations) {
    const auto onDevices = SerialsOnDevices(m_dir);
    const auto states = Pairs("SELECT serial, state FROM serials");
    std::set<std::string> distinct;
    for (const auto& [serial, file] : onDevices) {
      EXPECT_TRUE(distinct.insert(serial).second) << serial << " is on two devices";
      const auto state = states.find(serial);
      if (state == states.end()) {
        ADD_FAILURE() << serial << " on " << file << " is not known to the server";
        continue;
      }
      EXPECT_TRUE(state->second == "used" || state->second == "failed" || state->second == "spent")
          << serial << " on " << file << " is " << state->second;
    }
    // A serial given back goes to another unit: each finished unit takes
    // one record of its serial and result.
    std::string error;
    const auto rows = m_server->Rows(
        m_db, "SELECT station, serial, outcome FROM units WHERE serial <> ''", &error);
    EXPECT_TRUE(rows) << error;
    std::multiset<std::vector<std::string>> recorded;
    if (rows) recorded.insert(rows->begin(), rows->end());
    for (const std::string& name : stations) {
      for (const auto& finished : ReadEvents(m_dir / (name + ".out")).Of("finished")) {
        const std::vector<std::string> unit = {name, finished["serial"].get<std::string>(),
                                               finished["result"].get<std::string>()};
        const auto it = recorded.find(unit);
        if (it == recorded.end()) {
          ADD_FAILURE() << name << " finished " << unit[1] << " (" << unit[2]
                        << ") but the server has no such record";
          continue;
        }
        recorded.erase(it);
      }
    }
    return onDevices.size();
  }
  /// One more start on the server settles what dead stations left.
  void Settle() {
    EXPECT_EQ(Run({"--simulate", "none", "station", m_image, "--db", m_uri, "--journal",
                   (m_dir / "settle.journal").string(), "--once"}),
              3)
        << ReadText(m_dir / "err.txt");
    EXPECT_EQ(Field("SELECT count(*) FROM serials WHERE state = 'reserved'"), "0");
    EXPECT_EQ(Field("SELECT count(*) FROM units WHERE outcome = 'running'"), "0");
  }
  int Passed(const std::string& name) {
    return static_cast<int>(ReadEvents(m_dir / (name + ".out")).Of("finished").size());
  }

  testing::ScratchDir m_scratch{"tessarin-pg-stations"};
  const fs::path m_dir = m_scratch.path();
  std::string m_image;
  std::set<long> m_running;
};

TEST_F(PgStations, ThreeStationsBurnAHundredUnitsWithSerialsFromOnePool) {
  const std::vector<std::pair<std::string, int>> stations = {{"a", 34}, {"b", 33}, {"c", 33}};
  std::vector<long> pids;
  // Each device stays until its burn is over, however slow the build or
  // loaded the machine.
  for (const auto& [name, units] : stations) {
    pids.push_back(StartStation(name, units, units, "linger=2s,latency=20us"));
  }
  std::set<std::string> serials;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    const std::string& name = stations[i].first;
    EXPECT_EQ(Wait(pids[i]), 0) << ReadText(m_dir / (name + ".err"));
    for (const auto& finished : ReadEvents(m_dir / (name + ".out")).Of("finished")) {
      EXPECT_TRUE(finished["ok"].get<bool>()) << finished.dump();
      EXPECT_TRUE(serials.insert(finished["serial"].get<std::string>()).second)
          << finished["serial"] << " was handed out twice";
    }
  }
  EXPECT_EQ(serials.size(), 100u);
  EXPECT_EQ(CheckSerialsAndRecords({"a", "b", "c"}), 100u);
  EXPECT_EQ(Pairs("SELECT station, count(*) FROM units WHERE outcome = 'passed' GROUP BY 1"),
            (std::map<std::string, std::string>{{"a", "34"}, {"b", "33"}, {"c", "33"}}));
  // One pool: the hundred serials are the first hundred.
  EXPECT_EQ(*serials.rbegin(), "P-00100");
  // Every session ended cleanly and the server stamped it.
  EXPECT_EQ(Field("SELECT count(*) FROM sessions WHERE end_reason = 'ended'"), "3");
}

TEST_F(PgStations, StationsKilledAtRandomMomentsNeverGiveASerialToTwoDevices) {
  std::mt19937 random(20261209);
  constexpr int kRounds = 8;
  int killed = 0;
  std::vector<std::string> all;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::pair<std::string, long>> pids;
    for (const char* station : {"a", "b", "c"}) {
      const std::string name = std::string(station) + std::to_string(round);
      all.push_back(name);
      // Every other round a device also vanishes in the middle of its burn.
      const std::string vanish =
          round % 2 == 1 ? ",vanish-after=" + std::to_string(20 + random() % 200) : "";
      pids.emplace_back(name, StartStation(name, 4, 4, "linger=80ms,latency=20us" + vanish));
    }
    for (const auto& [name, pid] : pids) {
      if (random() % 3 == 0) continue;  // this one is left to finish
      WaitForEvents(name, "arrived", 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 120));
      if (Kill(pid) == 128 + 9) ++killed;
    }
    for (const auto& [name, pid] : pids) {
      if (m_running.count(pid)) {
        const int code = Wait(pid);
        EXPECT_TRUE(code == 0 || code == 1) << name << ": " << ReadText(m_dir / (name + ".err"));
      }
    }
  }
  EXPECT_GE(killed, kRounds / 2);
  Settle();
  const std::size_t onDevices = CheckSerialsAndRecords(all);
  EXPECT_GE(onDevices, 5u);
  std::cout << killed << " stations killed; " << onDevices << " serials on devices, "
            << Field("SELECT count(*) FROM serials") << " on the server\n";
}

TEST_F(PgStations, AnImmediateServerRestartMidRunLosesNothingAndTheStationsCarryOn) {
  // A server of its own: the restart cuts every connection it has.
  std::string error;
  bool missing = false;
  auto own = PgTestServer::Start({}, &error, &missing);
  ASSERT_TRUE(own) << error;
  const std::string db = own->FreshDatabase(&error);
  ASSERT_FALSE(db.empty()) << error;
  m_uri = own->Uri(db);
  const std::vector<std::string> names = {"a", "b", "c"};
  std::vector<long> pids;
  // Burns of about half a second; the devices stay plugged in while they
  // wait for the server, as at a bench, also when a loaded machine takes
  // seconds to restart the server and the stations seconds more to find it
  // (a device is unplugged after `linger` without a transfer), and spare
  // units take the place of one unplugged all the same.
  for (const std::string& name : names) {
    pids.push_back(StartStation(name, 16, 12, "linger=8s,latency=2ms"));
  }
  // The second round's burns are under way.
  ASSERT_TRUE(WaitForEvents("a", "started", 4));
  ASSERT_TRUE(own->Stop("immediate", &error)) << error;
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(own->StartAgain(&error)) << error;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(Wait(pids[i]), 0) << ReadText(m_dir / (names[i] + ".err"));
    EXPECT_EQ(Passed(names[i]), 12) << names[i];
    const Reported reported = ReadEvents(m_dir / (names[i] + ".out"));
    // Each lost the server, said so, and found it again by itself.
    int lost = 0;
    for (const auto& notice : reported.Of("notice")) {
      lost += notice["text"].get<std::string>().find("cannot be reached") != std::string::npos;
    }
    EXPECT_GE(lost, 1) << names[i];
    // Nothing waits in a journal once a station ended.
    EXPECT_TRUE(reported.Of("warning").empty()) << names[i];
  }
  // The checks ask the restarted server (no ASSERT until it is given back).
  PgTestServer* const shared = m_server;
  const std::string sharedDb = m_db;
  m_server = own.get();
  m_db = db;
  EXPECT_EQ(CheckSerialsAndRecords(names), 36u);
  EXPECT_EQ(Field("SELECT count(*) FROM units WHERE outcome = 'passed'"), "36");
  EXPECT_EQ(Field("SELECT count(*) FROM serials WHERE state = 'reserved'"), "0");
  EXPECT_EQ(Pairs("SELECT station, count(*) FROM sessions GROUP BY 1"),
            (std::map<std::string, std::string>{{"a", "2"}, {"b", "2"}, {"c", "2"}}));
  m_server = shared;
  m_db = sharedDb;
}

TEST_F(PgStations, AStationWhoseConnectionIsCutReconnectsWhileTheOthersGoOn) {
  const std::vector<std::string> names = {"a", "b", "c"};
  std::vector<long> pids;
  for (const std::string& name : names) {
    pids.push_back(StartStation(name, 16, 12, "linger=1s,latency=20us"));
  }
  ASSERT_TRUE(WaitForEvents("b", "finished", 2));
  Sql("SELECT pg_terminate_backend(backend_pid) FROM sessions WHERE station = 'b' AND "
      "ended_at IS NULL");
  for (std::size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(Wait(pids[i]), 0) << ReadText(m_dir / (names[i] + ".err"));
    EXPECT_EQ(Passed(names[i]), 12) << names[i];
  }
  EXPECT_EQ(CheckSerialsAndRecords(names), 36u);
  // b went on in a session of its own connection; a and c kept theirs.
  EXPECT_EQ(Pairs("SELECT station, count(*) FROM sessions GROUP BY 1"),
            (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}, {"c", "1"}}));
}

TEST_F(PgStations, CommandsOnAServerStoreSayWhatIsWrongAndNeverShowThePassword) {
  // The throwaway server trusts every local connection: a password is
  // given, taken, and must show nowhere.
  const std::string withPassword =
      "postgresql://postgres:Sekr1t@/" + m_db + m_uri.substr(m_uri.find('?'));
  ASSERT_EQ(Run({"--simulate", "default", "station", m_image, "--db", withPassword, "--journal",
                 (m_dir / "j.db").string(), "--once", "--serial-format", "S-{}"}),
            0)
      << ReadText(m_dir / "err.txt");
  const std::string out = ReadText(m_dir / "out.txt");
  EXPECT_NE(out.find("records in postgresql://postgres:***@/"), std::string::npos) << out;
  EXPECT_EQ((out + ReadText(m_dir / "err.txt")).find("Sekr1t"), std::string::npos);

  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  };
  const Case before[] = {
      {{"records", "--db", m_uri, "--csv"}, 0, "S-1"},
      {{"release-serial", "S-1", "--db", m_uri}, 2, "on a unit that passed"},
      {{"records", "--db", withPassword + "&port=1"}, 2, "postgres:***@"},
  };
  for (const Case& c : before) {
    EXPECT_EQ(Run(c.args), c.code) << c.args[0];
    const std::string all = ReadText(m_dir / "out.txt") + ReadText(m_dir / "err.txt");
    EXPECT_NE(all.find(c.says), std::string::npos) << c.args[0] << ": " << all;
    EXPECT_EQ(all.find("Sekr1t"), std::string::npos) << all;
  }
  // A schema from the future: every command refuses it, nothing is changed.
  Sql("UPDATE tessarin_schema SET version = 99");
  const Case future[] = {
      {{"--simulate", "default", "station", m_image, "--db", m_uri, "--once"}, 2, "version 99"},
      {{"records", "--db", m_uri}, 2, "newer than this program knows"},
      {{"release-serial", "S-1", "--db", m_uri}, 2, "update tessarin-cli"},
  };
  for (const Case& c : future) {
    EXPECT_EQ(Run(c.args), c.code) << c.args[0];
    const std::string all = ReadText(m_dir / "out.txt") + ReadText(m_dir / "err.txt");
    EXPECT_NE(all.find(c.says), std::string::npos) << c.args[0] << ": " << all;
  }
  EXPECT_EQ(Field("SELECT count(*) FROM units"), "1");
}

TEST_F(PgStations, ACopiedBenchExportsAsItDidFromItsFile) {
  const std::string file = (m_dir / "bench.db").string();
  ASSERT_EQ(Run({"--simulate", "dir=" + m_dir.string() + ";units=4,ports=2,every=1ms,linger=300ms",
                 "station", m_image, "--db", file, "--serial-format", "B-{:03}", "--max-units", "4",
                 "--name", "bench-1"}),
            0)
      << ReadText(m_dir / "err.txt");
  ASSERT_EQ(Run({"import-records", file, "--db", m_uri}), 0) << ReadText(m_dir / "err.txt");
  EXPECT_NE(ReadText(m_dir / "out.txt").find("Copied 4 units, 4 serials and 1 serial counters"),
            std::string::npos)
      << ReadText(m_dir / "out.txt");
  // The same export from either store, but for the ids the server gave.
  const auto withoutIds = [](const std::string& csv) {
    std::string out;
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) out += line.substr(line.find(',')) + "\n";
    return out;
  };
  ASSERT_EQ(Run({"records", "--db", file, "--csv"}), 0);
  const std::string fromFile = withoutIds(ReadText(m_dir / "out.txt"));
  ASSERT_EQ(Run({"records", "--db", m_uri, "--csv"}), 0);
  const std::string fromServer = withoutIds(ReadText(m_dir / "out.txt"));
  EXPECT_EQ(fromServer, fromFile);
  EXPECT_EQ(std::count(fromServer.begin(), fromServer.end(), '\n'), 5);
  ASSERT_EQ(Run({"--json", "records", "--db", file}), 0);
  const std::string jsonFile = ReadText(m_dir / "out.txt");
  ASSERT_EQ(Run({"--json", "records", "--db", m_uri}), 0);
  const std::string jsonServer = ReadText(m_dir / "out.txt");
  const auto dropIds = [](const std::string& lines) {
    std::vector<nlohmann::json> all;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
      auto j = nlohmann::json::parse(line);
      j.erase("id");
      all.push_back(j);
    }
    return all;
  };
  EXPECT_EQ(dropIds(jsonServer), dropIds(jsonFile));
  // Copied once only.
  EXPECT_EQ(Run({"import-records", file, "--db", m_uri}), 2);
  EXPECT_NE(ReadText(m_dir / "err.txt").find("copied into this store before"), std::string::npos);
  EXPECT_EQ(Run({"import-records", file, "--db", file}), 2);
  EXPECT_NE(ReadText(m_dir / "err.txt").find("copies into a server store"), std::string::npos);
}

}  // namespace
}  // namespace tessarin
