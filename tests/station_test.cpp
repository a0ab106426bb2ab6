// The station in process: serial series, the record store, and slots keyed by
// port burning simulated devices that a test plugs in and out.
#include "station/station.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "burn/burn_status.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "image/rom_image.h"
#include "sim/sim_backend.h"
#include "station/serial_series.h"
#include "station/sqlite_record_store.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path TempDir(const std::string& name) {
  static std::atomic<int> counter{0};
  const fs::path dir = fs::temp_directory_path() /
                       ("tessarin-station-" + name + "-" + std::to_string(CurrentProcessId()) +
                        "-" + std::to_string(counter++));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

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
  EXPECT_FALSE(MakeFormatSeries(std::string(28, 'K') + "{}", 1, &error));
  EXPECT_NE(error.find("31"), std::string::npos);
  EXPECT_TRUE(MakeFormatSeries(std::string(24, 'K') + "{}", 1, &error));
}

TEST(SerialList, ReadsOnePerLineAndRefusesWhatCannotBeBurned) {
  const fs::path dir = TempDir("list");
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

UnitRecord DraftUnit(const std::string& port) {
  UnitRecord r;
  r.m_startedAt = UtcNowIso8601();
  r.m_port = port;
  return r;
}

// Sets the process id of every open session in the store: a station that died.
void MarkSessionsDead(const fs::path& db) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.string().c_str(), &raw), SQLITE_OK);
  sqlite3_busy_timeout(raw, 5000);
  // Far above any pid_max: no such process.
  ASSERT_EQ(sqlite3_exec(raw, "UPDATE sessions SET pid = 2000000000 WHERE ended_at IS NULL",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
}

TEST(SqliteRecordStore, SerialFatesAndReleaseFollowWhereTheBurnEnded) {
  const fs::path dir = TempDir("fates");
  std::string error;
  auto store = SqliteRecordStore::Open((dir / "s.db").string(), &error);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->BeginSession("bench-1", nullptr, &error)) << error;
  const auto series = MakeFormatSeries("S{:03}", 1, &error);
  ASSERT_TRUE(series);

  struct Step {
    SerialFate fate;
    const char* serial;  // the one reserved
    const char* state;   // its state afterwards
  };
  // A serial given back (the burn ended before its descriptor) goes to the
  // next unit; one that may have reached a device never comes back.
  const Step steps[] = {
      {SerialFate::kUsed, "S001", "used"},
      {SerialFate::kReturned, "S002", "free"},
      {SerialFate::kSpent, "S002", "failed"},
      {SerialFate::kUsed, "S003", "used"},
  };
  for (const Step& step : steps) {
    UnitRecord unit = DraftUnit("p1");
    ASSERT_TRUE(store->StartUnit(&unit, &*series, &error)) << error;
    EXPECT_EQ(unit.m_serial, step.serial);
    EXPECT_EQ(store->SerialState(unit.m_serial, &error), "reserved");
    unit.m_outcome = kOutcomeFailed;
    unit.m_endedAt = UtcNowIso8601();
    ASSERT_TRUE(store->FinishUnit(unit, step.fate, &error)) << error;
    EXPECT_EQ(store->SerialState(unit.m_serial, &error), step.state) << step.serial;
  }
  // Only the operator gives a failed serial back, and never one that passed.
  EXPECT_FALSE(store->ReleaseSerial("S001", &error));
  EXPECT_NE(error.find("passed"), std::string::npos);
  EXPECT_FALSE(store->ReleaseSerial("S999", &error));
  ASSERT_TRUE(store->ReleaseSerial("S002", &error)) << error;
  UnitRecord again = DraftUnit("p1");
  ASSERT_TRUE(store->StartUnit(&again, &*series, &error));
  EXPECT_EQ(again.m_serial, "S002");
  UnitRecord next = DraftUnit("p1");
  ASSERT_TRUE(store->StartUnit(&next, &*series, &error));
  EXPECT_EQ(next.m_serial, "S004");

  const auto units = store->Units("", &error);
  ASSERT_TRUE(units);
  EXPECT_EQ(units->size(), 6u);
  EXPECT_EQ(store->Units("2999-01-01", &error)->size(), 0u);
  fs::remove_all(dir);
}

TEST(SqliteRecordStore, ADeadStationsReservationsAreSpentALiveOnesKept) {
  const fs::path dir = TempDir("recover");
  const fs::path db = dir / "s.db";
  std::string error;
  const auto series = MakeFormatSeries("R{}", 1, &error);
  {
    auto dead = SqliteRecordStore::Open(db.string(), &error);
    ASSERT_TRUE(dead->BeginSession("dead", nullptr, &error));
    UnitRecord unit = DraftUnit("p1");
    ASSERT_TRUE(dead->StartUnit(&unit, &*series, &error));
    EXPECT_EQ(unit.m_serial, "R1");
  }  // never finished, never ended
  MarkSessionsDead(db);
  auto alive = SqliteRecordStore::Open(db.string(), &error);
  std::vector<SpentSerial> spent;
  ASSERT_TRUE(alive->BeginSession("alive", &spent, &error));
  ASSERT_EQ(spent.size(), 1u);
  EXPECT_EQ(spent[0].m_serial, "R1");
  EXPECT_EQ(spent[0].m_port, "p1");
  UnitRecord running = DraftUnit("p2");
  ASSERT_TRUE(alive->StartUnit(&running, &*series, &error));
  EXPECT_EQ(running.m_serial, "R2");

  auto third = SqliteRecordStore::Open(db.string(), &error);
  spent.clear();
  ASSERT_TRUE(third->BeginSession("third", &spent, &error));
  EXPECT_TRUE(spent.empty());
  EXPECT_EQ(third->SerialState("R1", &error), "spent");
  EXPECT_EQ(third->SerialState("R2", &error), "reserved");  // its station still runs
  UnitRecord fresh = DraftUnit("p3");
  ASSERT_TRUE(third->StartUnit(&fresh, &*series, &error));
  EXPECT_EQ(fresh.m_serial, "R3");
  const auto units = third->Units("", &error);
  ASSERT_TRUE(units);
  EXPECT_EQ((*units)[0].m_outcome, kOutcomeInterrupted);
  fs::remove_all(dir);
}

TEST(SqliteRecordStore, TwoConnectionsReservingAtOnceGetDisjointSerials) {
  const fs::path dir = TempDir("parallel");
  std::string error;
  const auto series = MakeFormatSeries("P{:04}", 1, &error);
  auto a = SqliteRecordStore::Open((dir / "s.db").string(), &error);
  auto b = SqliteRecordStore::Open((dir / "s.db").string(), &error);
  ASSERT_TRUE(a && b) << error;
  ASSERT_TRUE(a->BeginSession("a", nullptr, &error));
  ASSERT_TRUE(b->BeginSession("b", nullptr, &error));
  std::vector<std::string> got[2];
  const auto reserve = [&](SqliteRecordStore* store, std::vector<std::string>* out) {
    for (int i = 0; i < 40; ++i) {
      UnitRecord unit = DraftUnit("p");
      std::string e;
      if (store->StartUnit(&unit, &*series, &e)) out->push_back(unit.m_serial);
    }
  };
  std::thread ta(reserve, a.get(), &got[0]);
  std::thread tb(reserve, b.get(), &got[1]);
  ta.join();
  tb.join();
  std::set<std::string> all(got[0].begin(), got[0].end());
  all.insert(got[1].begin(), got[1].end());
  EXPECT_EQ(got[0].size() + got[1].size(), 80u);
  EXPECT_EQ(all.size(), 80u);
  fs::remove_all(dir);
}

TEST(SqliteRecordStore, RefusesAFileThatIsNoDatabase) {
  const fs::path dir = TempDir("bad");
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

/// Collects the station's events and lets a test wait for one.
class Recorder : public StationEvents {
 public:
  void OnEvent(const StationEvent& event) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_events.push_back(event);
    }
    m_changed.notify_all();
  }
  /// Waits (at most 20 s) until `count` events match.
  bool WaitFor(const std::function<bool(const StationEvent&)>& match, int count = 1) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, 20s, [&] { return Count(match) >= count; });
  }
  int CountOf(const std::function<bool(const StationEvent&)>& match) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Count(match);
  }
  std::vector<StationEvent> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }

 private:
  int Count(const std::function<bool(const StationEvent&)>& match) const {
    int n = 0;
    for (const StationEvent& e : m_events) n += match(e) ? 1 : 0;
    return n;
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<StationEvent> m_events;
};

std::function<bool(const StationEvent&)> Is(StationEventKind kind, const std::string& port = "",
                                            const std::string& outcome = "") {
  return [=](const StationEvent& e) {
    return e.m_kind == kind && (port.empty() || e.m_port == port) &&
           (outcome.empty() || e.m_outcome == outcome);
  };
}

/// A station over a simulated backend, run on a thread of its own.
class StationRun : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = TempDir("run");
    std::string error;
    m_store = SqliteRecordStore::Open((m_dir / "s.db").string(), &error);
    ASSERT_TRUE(m_store) << error;
    ASSERT_TRUE(m_store->BeginSession("test", nullptr, &error));
    m_config.m_image =
        std::make_shared<RomImage>(*MakeImage(30000, 2, 5, 7, ImageIds{0x0495, 0x8041}));
    m_config.m_imagePath = "fw.rom";
    m_config.m_serials = MakeFormatSeries("T-{:03}", 1, &error);
    m_config.m_sleep = [](std::chrono::milliseconds) {};
    m_config.m_poll = 5ms;
    m_config.m_interrupts = &m_interrupts;
  }
  void TearDown() override {
    if (m_thread.joinable()) {
      m_interrupts = 2;
      m_thread.join();
    }
    m_station.reset();
    m_store.reset();
    fs::remove_all(m_dir);
  }
  void Start() {
    m_station = std::make_unique<Station>(m_backend, *m_store, m_config, m_events);
    m_thread = std::thread([this] { m_ok = m_station->Run(&m_summary, &m_error); });
  }
  void Join() { m_thread.join(); }
  std::string SerialOn(const SimDevice& device) {
    const std::vector<std::uint8_t> eeprom = device.Eeprom();
    std::string serial;
    const int length = eeprom[SERIAL_ADDRESS];
    if (length == 0xFF || eeprom[SERIAL_ADDRESS + 1] != 0x03) return "";
    for (int i = 2; i < length; i += 2) serial += static_cast<char>(eeprom[SERIAL_ADDRESS + i]);
    return serial;
  }

  fs::path m_dir;
  SimBackend m_backend;
  std::unique_ptr<SqliteRecordStore> m_store;
  StationConfig m_config;
  std::atomic<int> m_interrupts{0};
  Recorder m_events;
  std::unique_ptr<Station> m_station;
  std::thread m_thread;
  bool m_ok = false;
  StationSummary m_summary;
  std::string m_error;
};

TEST_F(StationRun, APortIsBurnedAgainOnlyAfterItsDeviceWasUnplugged) {
  m_config.m_maxUnits = 3;
  Start();
  auto first = std::make_shared<SimDevice>();
  const std::string path = m_backend.AddDevice(first, true, "hub-1");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-1", kOutcomePassed)));
  EXPECT_EQ(SerialOn(*first), "T-001");
  // Another port's arrival makes the station look again: the passed device,
  // still plugged in, is left alone.
  auto other = std::make_shared<SimDevice>();
  m_backend.AddDevice(other, true, "hub-2");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-2", kOutcomePassed)));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(m_events.CountOf(Is(StationEventKind::kStarted, "hub-1")), 1);

  m_backend.RemoveDevice(path);
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kLeft, "hub-1")));
  m_backend.AddDevice(first, true, "hub-1");  // the same unit plugged back in
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-1", kOutcomePassed), 2));
  Join();
  EXPECT_TRUE(m_ok) << m_error;
  EXPECT_EQ(m_summary.m_passed, 3);
  EXPECT_EQ(SerialOn(*first), "T-003");
  EXPECT_EQ(SerialOn(*other), "T-002");
  EXPECT_EQ(first->Eeprom()[5], 2);  // the image's version

  std::string error;
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 3u);
  for (const UnitRecord& unit : *units) {
    EXPECT_EQ(unit.m_outcome, kOutcomePassed);
    EXPECT_EQ(unit.m_statusCode, BURN_SUCCESS);
    EXPECT_EQ(unit.m_versionAfter, "2.5");
    EXPECT_EQ(unit.m_bytes, 30000);
    EXPECT_NE(unit.m_endedAt, "");
    EXPECT_EQ(m_store->SerialState(unit.m_serial, &error), "used");
  }
}

TEST_F(StationRun, RefusedDevicesAreRecordedAndNeverWritten) {
  struct Case {
    std::uint16_t vid;
    std::uint16_t pid;
    const char* why;
    bool busy;  ///< another program burns it
  };
  const Case cases[] = {
      {0x1234, 0x8041, "Not Kestrova Device", false},
      {0x0495, 0x8043, "The selected file don't support this device", false},
      {0x0495, 0x8041, "another program is burning or reading it", true},
  };
  m_config.m_once = false;
  Start();
  std::vector<std::shared_ptr<SimDevice>> devices;
  std::vector<DeviceClaimPtr> otherPrograms;
  for (const Case& c : cases) {
    SimDeviceConfig config;
    config.m_vendorId = c.vid;
    config.m_productId = c.pid;
    devices.push_back(std::make_shared<SimDevice>(config));
    bool busy = false;
    if (c.busy) otherPrograms.push_back(devices.back()->Claim(&busy));
    m_backend.AddDevice(devices.back(), true, "hub-" + std::to_string(devices.size()));
  }
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kRefused), 3));
  m_interrupts = 1;
  Join();
  EXPECT_EQ(m_summary.m_refused, 3);
  std::string error;
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 3u);
  for (std::size_t i = 0; i < devices.size(); ++i) {
    for (const SimFrame& frame : devices[i]->Requests()) {
      EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM) << cases[i].why;
    }
    const std::string port = "hub-" + std::to_string(i + 1);
    const auto unitIt = std::find_if(units->begin(), units->end(),
                                     [&](const UnitRecord& u) { return u.m_port == port; });
    ASSERT_NE(unitIt, units->end()) << port;
    const UnitRecord& unit = *unitIt;
    EXPECT_EQ(unit.m_outcome, kOutcomeRefused);
    EXPECT_EQ(unit.m_serial, "");
    EXPECT_NE(unit.m_message.find(cases[i].why), std::string::npos) << unit.m_message;
  }
}

TEST_F(StationRun, WhereABurnEndsDecidesItsSerial) {
  // The image (30000 bytes) ends below the descriptor, so a byte there that
  // reads back wrong fails only the descriptor's read-back.
  struct Case {
    const char* name;
    std::function<void(SimDevice&)> fault;
    const char* outcome;
    const char* serialState;
    bool serialOnDevice;
  };
  const Case cases[] = {
      {"fails in the download",
       [](SimDevice& d) {
         for (long send = 100; send < 100 + HidDeviceManager::kAttempts; ++send) d.FailSend(send);
       },
       kOutcomeFailed, "free", false},
      {"unplugged in the verify", [](SimDevice& d) { d.VanishAfter(700); }, kOutcomeStopped, "free",
       false},
      {"descriptor read back wrong", [](SimDevice& d) { d.CorruptAt(SERIAL_ADDRESS + 2); },
       kOutcomeFailed, "failed", true},
  };
  m_config.m_maxUnits = static_cast<int>(std::size(cases));
  Start();
  int n = 0;
  for (const Case& c : cases) {
    auto device = std::make_shared<SimDevice>();
    c.fault(*device);
    const std::string port = "hub-" + std::to_string(++n);
    const std::string path = m_backend.AddDevice(device, true, port);
    ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, port))) << c.name;
    // Unplugged after the result, as the operator does. The last unit ends
    // the run (the unit limit), which then looks at no port any more.
    m_backend.RemoveDevice(path);
    if (n < m_config.m_maxUnits) {
      ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kLeft, port))) << c.name;
    }
    std::string error;
    const auto units = m_store->Units("", &error);
    const UnitRecord& unit = units->back();
    EXPECT_EQ(unit.m_outcome, c.outcome) << c.name;
    EXPECT_EQ(m_store->SerialState(unit.m_serial, &error), c.serialState) << c.name;
    EXPECT_EQ(SerialOn(*device) == unit.m_serial, c.serialOnDevice) << c.name;
    EXPECT_EQ(device->Eeprom()[0], c.serialOnDevice ? m_config.m_image->ImageData()[0] : 0xFF)
        << c.name;
  }
  Join();
  // The two serials given back went to the next units.
  std::string error;
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 3u);
  EXPECT_EQ((*units)[0].m_serial, "T-001");
  EXPECT_EQ((*units)[1].m_serial, "T-001");
  EXPECT_EQ((*units)[2].m_serial, "T-001");
}

TEST_F(StationRun, CtrlCOnceLetsBurnsFinishTwiceStopsThem) {
  SimDeviceConfig slow;
  slow.m_latency = 200us;
  auto clock = RealClock();
  for (const int presses : {1, 2}) {
    SCOPED_TRACE(presses);
    m_interrupts = 0;
    Recorder events;
    Station station(m_backend, *m_store, m_config, events);
    StationSummary summary;
    std::thread run([&] { station.Run(&summary, nullptr); });
    auto device = std::make_shared<SimDevice>(slow, clock);
    const std::string path = m_backend.AddDevice(device, true, "hub-1");
    ASSERT_TRUE(events.WaitFor([](const StationEvent& e) {
      return e.m_kind == StationEventKind::kStatus && e.m_count > 0;
    }));
    m_interrupts = presses;
    ASSERT_TRUE(events.WaitFor(Is(StationEventKind::kNotice)));
    // Not taken any more: the station is stopping.
    m_backend.AddDevice(std::make_shared<SimDevice>(), true, "hub-2");
    run.join();
    EXPECT_EQ(events.CountOf(Is(StationEventKind::kArrived, "hub-2")), 0);
    EXPECT_EQ(summary.m_passed, presses == 1 ? 1 : 0);
    EXPECT_EQ(summary.m_stopped, presses == 2 ? 1 : 0);
    if (presses == 2) {
      EXPECT_EQ(device->Eeprom()[0], 0xFF);
    }
    for (const auto& [p, d] : m_backend.Devices()) m_backend.RemoveDevice(p);
  }
}

}  // namespace
}  // namespace tessarin
