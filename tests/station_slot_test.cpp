// The station in process: slots keyed by port burning simulated devices that
// a test plugs in and out, with a real record store.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "burn/burn_status.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "image/rom_image.h"
#include "record_store_conformance.h"
#include "sim/sim_backend.h"
#include "station/serial_series.h"
#include "station/station.h"
#include "store/sqlite_record_store.h"
#include "support/forwarding_store.h"
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
                                            std::optional<UnitOutcome> outcome = std::nullopt) {
  return [=](const StationEvent& e) {
    return e.m_kind == kind && (port.empty() || e.m_port == port) &&
           (!outcome || e.m_outcome == *outcome);
  };
}

std::optional<SerialSeries> FormatSeries(const char* text) {
  std::string error;
  const auto format = SerialFormat::Parse(text, &error);
  EXPECT_TRUE(format) << error;
  return MakeFormatSeries(*format, 1, &error);
}

/// A station over a simulated backend, run on a thread of its own.
class StationSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = TempDir("run");
    std::string error;
    m_store = SqliteRecordStore::Open((m_dir / "s.db").string(), &error);
    ASSERT_TRUE(m_store) << error;
    ASSERT_TRUE(m_store->BeginSession({"test"}, nullptr, &error));
    m_config.m_image =
        std::make_shared<RomImage>(*MakeImage(30000, 2, 5, 7, ImageIds{0x0495, 0x8041}));
    m_config.m_imagePath = "fw.rom";
    m_config.m_serials = FormatSeries("T-{:03}");
    m_config.m_sleep = [](std::chrono::milliseconds) {};
    m_config.m_poll = 5ms;
  }
  void TearDown() override {
    if (m_thread.joinable()) {
      m_station->Stop(2);
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
  Recorder m_events;
  std::unique_ptr<Station> m_station;
  std::thread m_thread;
  bool m_ok = false;
  StationSummary m_summary;
  std::string m_error;
};

TEST_F(StationSlots, APortIsBurnedAgainOnlyAfterItsDeviceWasUnplugged) {
  m_config.m_maxUnits = 3;
  Start();
  auto first = std::make_shared<SimDevice>();
  const std::string path = m_backend.AddDevice(first, "hub-1");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-1", UnitOutcome::kPassed)));
  EXPECT_EQ(SerialOn(*first), "T-001");
  // Another port's arrival makes the station look again: the passed device,
  // still plugged in, is left alone.
  auto other = std::make_shared<SimDevice>();
  m_backend.AddDevice(other, "hub-2");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-2", UnitOutcome::kPassed)));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(m_events.CountOf(Is(StationEventKind::kStarted, "hub-1")), 1);

  m_backend.RemoveDevice(path);
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kLeft, "hub-1")));
  m_backend.AddDevice(first, "hub-1");  // the same unit plugged back in
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-1", UnitOutcome::kPassed), 2));
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
    EXPECT_EQ(unit.m_outcome, UnitOutcome::kPassed);
    EXPECT_EQ(unit.m_statusCode, static_cast<int>(BurnStatusCode(BurnStatus::BURN_SUCCESS)));
    EXPECT_EQ(unit.m_versionAfter, "2.5");
    EXPECT_EQ(unit.m_bytes, 30000);
    EXPECT_NE(unit.m_endedAt, "");
    EXPECT_EQ(m_store->StateOfSerial(unit.m_serial, &error), SerialState::kUsed);
  }
}

TEST_F(StationSlots, RefusedDevicesAreRecordedAndNeverWritten) {
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
    m_backend.AddDevice(devices.back(), "hub-" + std::to_string(devices.size()));
  }
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kRefused), 3));
  m_station->Stop(1);
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
    EXPECT_EQ(unit.m_outcome, UnitOutcome::kRefused);
    EXPECT_EQ(unit.m_serial, "");
    EXPECT_NE(unit.m_message.find(cases[i].why), std::string::npos) << unit.m_message;
  }
}

TEST_F(StationSlots, WhereABurnEndsDecidesItsSerial) {
  // The image (30000 bytes) ends below the descriptor, so a byte there that
  // reads back wrong fails only the descriptor's read-back.
  struct Case {
    const char* name;
    std::function<void(SimDevice&)> fault;
    UnitOutcome outcome;
    SerialState serialState;
    bool serialOnDevice;
  };
  const Case cases[] = {
      {"fails in the download",
       [](SimDevice& d) {
         for (long send = 100; send < 100 + HidDeviceManager::kAttempts; ++send) d.FailSend(send);
       },
       UnitOutcome::kFailed, SerialState::kFree, false},
      {"unplugged in the verify", [](SimDevice& d) { d.VanishAfter(700); }, UnitOutcome::kStopped,
       SerialState::kFree, false},
      {"descriptor read back wrong", [](SimDevice& d) { d.CorruptAt(SERIAL_ADDRESS + 2); },
       UnitOutcome::kFailed, SerialState::kFailed, true},
  };
  m_config.m_maxUnits = static_cast<int>(std::size(cases));
  Start();
  int n = 0;
  for (const Case& c : cases) {
    auto device = std::make_shared<SimDevice>();
    c.fault(*device);
    const std::string port = "hub-" + std::to_string(++n);
    const std::string path = m_backend.AddDevice(device, port);
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
    EXPECT_EQ(m_store->StateOfSerial(unit.m_serial, &error), c.serialState) << c.name;
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

TEST_F(StationSlots, AVersionThatCannotBeReadBackAfterAPassIsUnknownNotNoEeprom) {
  m_config.m_maxUnits = 2;
  Start();
  // A clean burn shows how many sends a burn takes (counted from 0 by
  // FailSend); from the last one on, the reads of the version and the Cur.
  auto clean = std::make_shared<SimDevice>();
  const std::string cleanPath = m_backend.AddDevice(clean, "hub-1");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-1", UnitOutcome::kPassed)));
  const long sends = clean->Sends();
  m_backend.RemoveDevice(cleanPath);
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kLeft, "hub-1")));

  auto device = std::make_shared<SimDevice>();
  for (long send = sends - 1; send < sends + 2 * HidDeviceManager::kAttempts; ++send) {
    device->FailSend(send);
  }
  m_backend.AddDevice(device, "hub-2");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-2")));
  Join();
  std::string error;
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 2u);
  const UnitRecord& unit = units->back();
  EXPECT_EQ(unit.m_outcome, UnitOutcome::kPassed) << unit.m_message;
  EXPECT_EQ(unit.m_versionAfter, "unknown");
  EXPECT_EQ(unit.m_curAfter, "unknown");
  EXPECT_NE(unit.m_message.find("reading the device's version back failed"), std::string::npos)
      << unit.m_message;
  EXPECT_EQ(m_events.CountOf([](const StationEvent& e) {
    return e.m_kind == StationEventKind::kNotice && e.m_port.empty() &&
           e.m_text.find("hub-2: burned and verified") == 0;
  }),
            1);
  EXPECT_EQ(units->front().m_versionAfter, "2.5");  // the clean one keeps what it read
}

TEST_F(StationSlots, StopOnceLetsBurnsFinishTwiceStopsThem) {
  SimDeviceConfig slow;
  slow.m_latency = 200us;
  auto clock = RealClock();
  for (const int presses : {1, 2}) {
    SCOPED_TRACE(presses);
    Recorder events;
    Station station(m_backend, *m_store, m_config, events);
    StationSummary summary;
    std::thread run([&] { station.Run(&summary, nullptr); });
    auto device = std::make_shared<SimDevice>(slow, clock);
    const std::string path = m_backend.AddDevice(device, "hub-1");
    ASSERT_TRUE(events.WaitFor([](const StationEvent& e) {
      return e.m_kind == StationEventKind::kStatus && e.m_count > 0;
    }));
    // From another thread, as the front end's signal watcher calls it.
    std::thread([&] { station.Stop(presses); }).join();
    ASSERT_TRUE(events.WaitFor(Is(StationEventKind::kNotice)));
    // Not taken any more: the station is stopping.
    m_backend.AddDevice(std::make_shared<SimDevice>(), "hub-2");
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

TEST_F(StationSlots, ABackupComesFirstAndOneThatFailsBurnsNothing) {
  // The second unit's backup cannot be saved: a file stands where the
  // directory was.
  m_config.m_backupDir = (m_dir / "backups").string();
  fs::create_directories(m_config.m_backupDir);
  m_config.m_maxUnits = 2;
  Start();
  auto first = std::make_shared<SimDevice>();
  first->SetEeprom(0, {0x11, 0x22, 0x33});
  const std::vector<std::uint8_t> before = first->Eeprom();
  m_backend.AddDevice(first, "hub-1");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kFinished, "hub-1", UnitOutcome::kPassed)));
  std::string error;
  const std::string backup = m_store->Units("", &error)->front().m_backupFile;
  ASSERT_NE(backup, "");
  {
    std::ifstream in(backup, std::ios::binary);
    const std::vector<std::uint8_t> kept{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    EXPECT_EQ(kept, before);
  }
  fs::remove_all(m_config.m_backupDir);
  { std::ofstream(m_config.m_backupDir) << "not a directory"; }
  auto second = std::make_shared<SimDevice>();
  m_backend.AddDevice(second, "hub-2");
  Join();

  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 2u);
  const UnitRecord& failed = (*units)[1];
  EXPECT_EQ(failed.m_outcome, UnitOutcome::kFailed);
  EXPECT_EQ(failed.m_serial, "");  // none reserved, none spent
  EXPECT_NE(failed.m_message.find("backup: cannot save it"), std::string::npos) << failed.m_message;
  EXPECT_NE(failed.m_message.find("; nothing was burned"), std::string::npos);
  for (const SimFrame& frame : second->Requests()) EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM);
  EXPECT_EQ(m_summary.m_failed, 1);
  EXPECT_EQ(m_summary.m_passed, 1);
}

/// A store whose reservations fail, as a full disk does.
class NoReservations : public testing::ForwardingStore {
 public:
  using ForwardingStore::ForwardingStore;
  bool StartUnit(UnitRecord*, const SerialSeries*, std::string* e) override {
    *e = "disk I/O error";
    return false;
  }
};

/// A store that cannot be reached while `away` holds, as a server that went
/// away; what it keeps meanwhile (a journal's) goes to the store below.
class Outage : public testing::ForwardingStore {
 public:
  using ForwardingStore::ForwardingStore;
  bool StartUnit(UnitRecord* r, const SerialSeries* series, std::string* e) override {
    if (m_away.load()) {
      *e = StoreUnavailableError("the server cannot be reached");
      return false;
    }
    return ForwardingStore::StartUnit(r, series, e);
  }
  bool Available(std::string* why) override {
    if (m_away.load() && why) *why = "the server cannot be reached";
    return !m_away.load();
  }
  std::atomic<bool> m_away{true};
};

TEST_F(StationSlots, AStoreThatCannotReserveEndsTheRunAsAFailureAndBurnsNothing) {
  NoReservations store(*m_store);
  Station station(m_backend, store, m_config, m_events);
  auto device = std::make_shared<SimDevice>();
  m_backend.AddDevice(device, "hub-1");
  StationSummary summary;
  std::string error;
  EXPECT_FALSE(station.Run(&summary, &error));
  EXPECT_EQ(error, "record store: disk I/O error");
  EXPECT_EQ(summary.m_refused, 1);
  EXPECT_EQ(m_events.CountOf([](const StationEvent& e) {
    return e.m_kind == StationEventKind::kNotice &&
           e.m_text.find("record store: disk I/O error; no more devices are taken") == 0;
  }),
            1);
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 1u);
  EXPECT_EQ((*units)[0].m_outcome, UnitOutcome::kRefused);
  EXPECT_EQ((*units)[0].m_message, "not burned: no serial could be reserved (disk I/O error)");
  for (const SimFrame& frame : device->Requests()) EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM);
}

TEST_F(StationSlots, AStopBeforeTheRunTakesNoDevice) {
  m_backend.AddDevice(std::make_shared<SimDevice>(), "hub-1");
  Station station(m_backend, *m_store, m_config, m_events);
  station.Stop(1);
  station.Stop(0);  // a level never goes down
  StationSummary summary;
  std::string error;
  EXPECT_TRUE(station.Run(&summary, &error)) << error;
  EXPECT_EQ(m_events.CountOf(Is(StationEventKind::kArrived)), 0);
  EXPECT_EQ(m_events.CountOf(Is(StationEventKind::kNotice)), 1);
}

TEST_F(StationSlots, AUnitWaitsForAStoreThatIsAwayAndIsBurnedOnceItIsBack) {
  Outage store(*m_store);
  m_config.m_maxUnits = 1;
  Station station(m_backend, store, m_config, m_events);
  StationSummary summary;
  std::string error;
  bool ok = false;
  std::thread run([&] { ok = station.Run(&summary, &error); });
  // The first device leaves while it waits: it is recorded, never burned,
  // and it does not count as the one unit of the run.
  auto left = std::make_shared<SimDevice>();
  const std::string path = m_backend.AddDevice(left, "hub-1");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kStoreUnavailable, "hub-1")));
  ASSERT_TRUE(m_events.WaitFor([](const StationEvent& e) {
    return e.m_kind == StationEventKind::kNotice &&
           e.m_text.find("new units wait") != std::string::npos;
  }));
  m_backend.RemoveDevice(path);
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kRefused, "hub-1")));
  // The next one waits until the store is back, then burns with its serial.
  auto waits = std::make_shared<SimDevice>();
  m_backend.AddDevice(waits, "hub-2");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kStoreUnavailable, "hub-2")));
  std::this_thread::sleep_for(50ms);
  for (const SimFrame& frame : waits->Requests()) EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM);
  store.m_away.store(false);
  run.join();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(summary.m_passed, 1);
  EXPECT_EQ(summary.m_refused, 1);
  EXPECT_EQ(SerialOn(*waits), "T-001");
  for (const SimFrame& frame : left->Requests()) EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM);
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 2u);
  EXPECT_EQ((*units)[0].m_outcome, UnitOutcome::kRefused);
  EXPECT_NE((*units)[0].m_message.find("the device was unplugged"), std::string::npos)
      << (*units)[0].m_message;
  EXPECT_EQ((*units)[1].m_outcome, UnitOutcome::kPassed);
}

TEST_F(StationSlots, AStopWhileTheStoreIsAwayEndsTheWaitingUnitUnburned) {
  Outage store(*m_store);
  Station station(m_backend, store, m_config, m_events);
  StationSummary summary;
  std::string error;
  bool ok = false;
  std::thread run([&] { ok = station.Run(&summary, &error); });
  auto device = std::make_shared<SimDevice>();
  m_backend.AddDevice(device, "hub-1");
  ASSERT_TRUE(m_events.WaitFor(Is(StationEventKind::kStoreUnavailable, "hub-1")));
  station.Stop(1);
  run.join();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(summary.m_refused, 1);
  const auto units = m_store->Units("", &error);
  ASSERT_EQ(units->size(), 1u);
  EXPECT_NE((*units)[0].m_message.find("the station stopped"), std::string::npos);
  EXPECT_EQ((*units)[0].m_serial, "");
  for (const SimFrame& frame : device->Requests()) EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM);
}

}  // namespace
}  // namespace tessarin
