#include "hid/hid_device_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/sim_backend.h"
#include "sim/sim_device.h"
#include "support/device_lock_access.h"
#include "support/sim_configs.h"

namespace tessarin {
namespace {

using testing::SimConfigWithLengths;

SimDeviceConfig Mode1() { return SimDeviceConfig{}; }
// Feature mode beside output and input reports of the wrong length.
SimDeviceConfig Mode2() { return SimConfigWithLengths(64, 65); }
SimDeviceConfig Lengths(std::uint16_t output, std::uint16_t feature) {
  return SimConfigWithLengths(output, feature);
}

ReportFrame Frame(std::initializer_list<std::uint8_t> head) {
  ReportFrame frame{};
  std::copy(head.begin(), head.end(), frame.begin());
  return frame;
}

ReportFrame Bytes(const SimFrame& frame) {
  ReportFrame bytes;
  std::copy(frame.m_bytes.begin(), frame.m_bytes.end(), bytes.begin());
  return bytes;
}

class DeviceManagerTest : public ::testing::Test {
 protected:
  // Adds one device, scans and opens it; the frame log then starts empty.
  std::shared_ptr<SimDevice> AddAndOpen(SimDeviceConfig config) {
    const std::string path = backend.AddDevice(std::move(config));
    auto device = backend.Device(path);
    const auto entry = hid.Scan();
    EXPECT_TRUE(entry);
    if (entry) hid.Open(entry);
    device->ClearFrames();
    return device;
  }

  SimBackend backend;
  HidDeviceManager hid{backend};
};

// A thread that holds the device lock until the test lets go.
class LockHolder {
 public:
  explicit LockHolder(DeviceMutex& mutex)
      : m_thread([this, &mutex] {
          std::unique_lock<DeviceMutex> held(mutex);
          std::unique_lock<std::mutex> lock(m_guard);
          m_held = true;
          m_changed.notify_all();
          m_changed.wait(lock, [this] { return m_release; });
        }) {
    std::unique_lock<std::mutex> lock(m_guard);
    m_changed.wait(lock, [this] { return m_held; });
  }
  ~LockHolder() {
    {
      std::lock_guard<std::mutex> lock(m_guard);
      m_release = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }

 private:
  std::mutex m_guard;
  std::condition_variable m_changed;
  bool m_held = false;
  bool m_release = false;
  std::thread m_thread;
};

struct CommandCase {
  const char* name;
  std::function<bool(HidDeviceManager&)> run;
  ReportFrame request;
  bool fetches;
};

std::vector<CommandCase> CommandCases() {
  static const std::vector<std::uint8_t> sixty = [] {
    std::vector<std::uint8_t> data(60);
    for (int i = 0; i < 60; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    return data;
  }();
  ReportFrame fullWrite = Frame({0x00, 0x17, 0x7F, 0xC0, 60});
  std::copy(sixty.begin(), sixty.end(), fullWrite.begin() + 5);
  return {
      {"write 60 at 0x7FC0",
       [](HidDeviceManager& h) { return h.WriteBlock(0x7FC0, sixty.data(), 60); }, fullWrite,
       false},
      {"write 0 at 4", [](HidDeviceManager& h) { return h.WriteBlock(4, nullptr, 0); },
       Frame({0x00, 0x17, 0x00, 0x04, 0}), false},
      {"write sends low 16 address bits",
       [](HidDeviceManager& h) { return h.WriteBlock(0x12345, sixty.data(), 1); },
       Frame({0x00, 0x17, 0x23, 0x45, 1, 0xA0}), false},
      {"read 64 at 0x7FC0",
       [](HidDeviceManager& h) {
         std::uint8_t out[64];
         return h.ReadBlock(0x7FC0, 64, out);
       },
       Frame({0x00, 0x15, 0x7F, 0xC0, 64}), true},
      {"query paged write",
       [](HidDeviceManager& h) {
         bool paged;
         return h.QueryPagedWrite(paged);
       },
       Frame({0x00, 0x29, 0x01, 0x00, 0x00}), true},
      {"prepare write", [](HidDeviceManager& h) { return h.PrepareWrite(); },
       Frame({0x00, 0x2B, 0x00, 0x00, 0x01}), false},
      {"query ready",
       [](HidDeviceManager& h) {
         bool ready;
         return h.QueryReady(ready);
       },
       Frame({0x00, 0x2D, 0x01, 0x00, 0x00}), true},
  };
}

// Every command's request, byte for byte, on the transport of each report mode.
TEST_F(DeviceManagerTest, EveryCommandSendsItsFrameOnTheModesTransport) {
  for (const bool feature : {false, true}) {
    for (const CommandCase& c : CommandCases()) {
      SCOPED_TRACE(std::string(c.name) + (feature ? " (mode 2)" : " (mode 1)"));
      SimBackend sim;
      HidDeviceManager manager(sim);
      sim.AddDevice(feature ? Mode2() : Mode1());
      auto device = sim.Device("sim:0");
      manager.Open(manager.Scan());
      device->ClearFrames();
      ASSERT_TRUE(c.run(manager));
      const auto frames = device->Frames();
      ASSERT_EQ(frames.size(), c.fetches ? 2u : 1u);
      EXPECT_EQ(frames[0].m_transfer,
                feature ? FrameTransfer::kSendFeature : FrameTransfer::kSendOutput);
      EXPECT_EQ(Bytes(frames[0]), c.request);
      if (c.fetches) {
        EXPECT_EQ(frames[1].m_transfer,
                  feature ? FrameTransfer::kFetchFeature : FrameTransfer::kFetchInput);
      }
    }
  }
}

TEST_F(DeviceManagerTest, ProbeSendsItsFrameOnTheGivenHandles) {
  backend.AddDevice(Mode1());
  auto device = backend.Device("sim:0");
  auto write = backend.Open("sim:0", HidOpenMode::kWrite, nullptr);
  auto read = backend.Open("sim:0", HidOpenMode::kRead, nullptr);
  EXPECT_TRUE(hid.Probe(REPORT_MODE_OUTPUT_INPUT, nullptr, write.get(), read.get()));
  const auto frames = device->Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Bytes(frames[0]), Frame({0x00, 0x1D, 0x80, 0xC0, 0x01}));
  EXPECT_EQ(frames[1].m_transfer, FrameTransfer::kFetchInput);
  // Mode 1 never touches the feature handle, mode 2 only it.
  EXPECT_FALSE(hid.Probe(REPORT_MODE_FEATURE, nullptr, write.get(), read.get()));
}

TEST_F(DeviceManagerTest, ReadBlockCopiesExactlyTheBytesAsked) {
  auto device = AddAndOpen(Mode1());
  std::vector<std::uint8_t> eeprom(64);
  for (int i = 0; i < 64; ++i) eeprom[i] = static_cast<std::uint8_t>(i + 1);
  device->SetEeprom(0x100, eeprom);
  std::uint8_t out[66];
  std::fill(std::begin(out), std::end(out), 0xEE);
  ASSERT_TRUE(hid.ReadBlock(0x100, 64, out + 1));
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(out[65], 0xEE);
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), out + 1));
  std::fill(std::begin(out), std::end(out), 0xEE);
  ASSERT_TRUE(hid.ReadBlock(0x100, 3, out));
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(out[3], 0xEE);
}

TEST_F(DeviceManagerTest, OversizedOrNegativeLengthsAreRefusedWithoutSending) {
  auto device = AddAndOpen(Mode1());
  const long sends = device->Sends();
  const long fetches = device->Fetches();
  std::uint8_t buffer[80] = {};
  EXPECT_FALSE(hid.WriteBlock(0, buffer, 61));
  EXPECT_FALSE(hid.WriteBlock(0, buffer, -1));
  EXPECT_FALSE(hid.ReadBlock(0, 65, buffer));
  EXPECT_FALSE(hid.ReadBlock(0, -1, buffer));
  EXPECT_EQ(device->Sends(), sends);
  EXPECT_EQ(device->Fetches(), fetches);
}

struct RetryCase {
  const char* name;
  std::vector<long> failSends;    // relative to the command's first send
  std::vector<long> failFetches;  // relative to its first fetch
  std::function<bool(HidDeviceManager&)> run;
  bool result;
  long sends;
};

TEST_F(DeviceManagerTest, AttemptsPerCommand) {
  const auto read = [](HidDeviceManager& h) {
    std::uint8_t out[4];
    return h.ReadBlock(0, 4, out);
  };
  const auto write = [](HidDeviceManager& h) {
    const std::uint8_t data[2] = {1, 2};
    return h.WriteBlock(0, data, 2);
  };
  const auto ready = [](HidDeviceManager& h) {
    bool flag = false;
    return h.QueryReady(flag);
  };
  const std::vector<RetryCase> cases = {
      {"read: first fetch fails", {}, {1}, read, true, 2},
      {"read: two sends fail", {1, 2}, {}, read, true, 3},
      {"read: three fetches fail", {}, {1, 2, 3}, read, false, 3},
      {"write: third send succeeds", {1, 2}, {}, write, true, 3},
      {"write: three sends fail", {1, 2, 3}, {}, write, false, 3},
      {"query ready: one attempt", {}, {1}, ready, false, 1},
      {"prepare write: one attempt",
       {1},
       {},
       [](HidDeviceManager& h) { return h.PrepareWrite(); },
       false,
       1},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimBackend sim;
    HidDeviceManager manager(sim);
    sim.AddDevice(Mode1());
    auto device = sim.Device("sim:0");
    manager.Open(manager.Scan());
    const long sends = device->Sends();
    const long fetches = device->Fetches();
    for (long k : c.failSends) device->FailSend(sends + k);
    for (long k : c.failFetches) device->FailFetch(fetches + k);
    EXPECT_EQ(c.run(manager), c.result);
    EXPECT_EQ(device->Sends() - sends, c.sends);
  }
}

TEST_F(DeviceManagerTest, FailedQueryLeavesTheFlagAlone) {
  auto device = AddAndOpen(Mode1());
  device->FailFetch(device->Fetches() + 1);
  device->FailFetch(device->Fetches() + 2);
  bool flag = true;
  EXPECT_FALSE(hid.QueryReady(flag));
  EXPECT_TRUE(flag);
  flag = true;
  EXPECT_FALSE(hid.QueryPagedWrite(flag));
  EXPECT_TRUE(flag);
}

TEST_F(DeviceManagerTest, AnyNonzeroReplyByteCountsAsTrue) {
  auto device = AddAndOpen(Mode1());
  device->SetPagedWrite(true);
  bool paged = false;
  ASSERT_TRUE(hid.QueryPagedWrite(paged));
  EXPECT_TRUE(paged);
  device->SetPagedWrite(false);
  ASSERT_TRUE(hid.QueryPagedWrite(paged));
  EXPECT_FALSE(paged);
}

TEST_F(DeviceManagerTest, LockedCommandsGiveUpWhileAnotherThreadHoldsTheLock) {
  auto device = AddAndOpen(Mode1());
  const long sends = device->Sends();
  {
    LockHolder holder(HidDeviceManagerTestAccess::DeviceLock(hid));
    std::uint8_t out[2];
    bool flag = false;
    EXPECT_FALSE(hid.ReadBlock(4, 2, out));
    EXPECT_FALSE(hid.QueryReady(flag));
    EXPECT_FALSE(hid.QueryPagedWrite(flag));
    EXPECT_FALSE(hid.PrepareWrite());
    EXPECT_EQ(device->Sends(), sends);
    // A block write takes no lock.
    EXPECT_TRUE(hid.WriteBlock(0, out, 1));
    EXPECT_EQ(device->Sends(), sends + 1);
    // A scan's probe waits too, and the interface is left out.
    EXPECT_FALSE(hid.Scan());
    ASSERT_EQ(hid.Skipped().size(), 1u);
    EXPECT_EQ(hid.Skipped()[0].m_reason, "not probed: the device lock stayed busy for 300 ms");
    EXPECT_EQ(hid.Skipped()[0].m_why, SkipReason::kLockBusy);
  }
  EXPECT_TRUE(hid.Scan());
}

TEST_F(DeviceManagerTest, TheLockOwnerMayTakeItAgain) {
  AddAndOpen(Mode1());
  std::lock_guard<DeviceMutex> held(HidDeviceManagerTestAccess::DeviceLock(hid));
  std::uint8_t out[2];
  EXPECT_TRUE(hid.ReadBlock(4, 2, out));
  EXPECT_TRUE(hid.PrepareWrite());
}

struct ModeCase {
  std::uint16_t output;
  std::uint16_t feature;
  ReportMode mode;  // REPORT_MODE_NONE: not listed
};

TEST_F(DeviceManagerTest, ReportModeFollowsTheReportLengths) {
  const ModeCase cases[] = {
      {65, 65, REPORT_MODE_OUTPUT_INPUT}, {65, 0, REPORT_MODE_OUTPUT_INPUT},
      {64, 65, REPORT_MODE_FEATURE},      {0, 65, REPORT_MODE_FEATURE},
      {64, 64, REPORT_MODE_NONE},         {66, 9, REPORT_MODE_NONE},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.output) + "/" + std::to_string(c.feature));
    SimBackend sim;
    HidDeviceManager manager(sim);
    sim.AddDevice(Lengths(c.output, c.feature));
    const auto entry = manager.Scan();
    if (c.mode == REPORT_MODE_NONE) {
      EXPECT_FALSE(entry);
      EXPECT_EQ(sim.Device("sim:0")->Sends(), 0) << "probed an interface that does not qualify";
      ASSERT_EQ(manager.Skipped().size(), 1u);
      EXPECT_NE(manager.Skipped()[0].m_reason.find(std::to_string(c.output)), std::string::npos);
      EXPECT_EQ(manager.Skipped()[0].m_reason.rfind("no 65-byte report: ", 0), 0u);
      EXPECT_EQ(manager.Skipped()[0].m_why, SkipReason::kNoReportLength);
    } else {
      ASSERT_TRUE(entry);
      EXPECT_EQ(entry->reportMode, c.mode);
      EXPECT_EQ(entry->devicePath, "sim:0");
    }
    EXPECT_EQ(sim.OpenHandles(), 0);
  }
}

TEST_F(DeviceManagerTest, UnansweredProbeLeavesTheInterfaceOutAndClosesItsHandles) {
  for (const SimDeviceConfig& base : {Mode1(), Mode2()}) {
    SimBackend sim;
    HidDeviceManager manager(sim);
    SimDeviceConfig config = base;
    config.m_answersProbe = false;
    sim.AddDevice(config);
    EXPECT_FALSE(manager.Scan());
    EXPECT_TRUE(manager.Entries().empty());
    EXPECT_EQ(sim.Device("sim:0")->Sends(), 1);
    EXPECT_EQ(sim.OpenHandles(), 0);
    ASSERT_EQ(manager.Skipped().size(), 1u);
    EXPECT_EQ(manager.Skipped()[0].m_reason, "no answer to the probe");
    EXPECT_EQ(manager.Skipped()[0].m_why, SkipReason::kNoAnswer);
  }
}

TEST_F(DeviceManagerTest, InterfacesThatCannotBeOpenedOrExaminedAreSkippedWithTheReason) {
  SimDeviceConfig denied;
  denied.m_denyOpen = true;
  SimDeviceConfig unreadable;
  unreadable.m_enumerateError = "cannot read the report descriptor";
  backend.AddDevice(denied);
  backend.AddDevice(unreadable);
  backend.AddDevice(Mode2());
  const auto first = hid.Scan();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->devicePath, "sim:2");
  ASSERT_EQ(hid.Skipped().size(), 2u);
  EXPECT_EQ(hid.Skipped()[0].m_reason, "open sim:0: Permission denied");
  EXPECT_EQ(hid.Skipped()[0].m_info.m_path, "sim:0");
  EXPECT_EQ(hid.Skipped()[0].m_why, SkipReason::kCannotOpen);
  EXPECT_EQ(hid.Skipped()[1].m_reason, "cannot read the report descriptor");
  EXPECT_EQ(hid.Skipped()[1].m_why, SkipReason::kNotExamined);
  EXPECT_EQ(backend.Device("sim:1")->Sends(), 0);
}

TEST_F(DeviceManagerTest, EntriesKeepEnumerationOrder) {
  SimDeviceConfig silent;
  silent.m_answersProbe = false;
  SimDeviceConfig other = Mode2();
  other.m_vendorId = 0x1234;
  other.m_productId = 0x5678;
  backend.AddDevice(Mode1());
  backend.AddDevice(silent);
  backend.AddDevice(other);
  const auto first = hid.Scan();
  ASSERT_EQ(hid.Entries().size(), 2u);
  EXPECT_EQ(first, hid.Entries()[0]);
  EXPECT_EQ(hid.Entries()[0]->devicePath, "sim:0");
  EXPECT_EQ(hid.Entries()[1]->devicePath, "sim:2");
  EXPECT_EQ(hid.Entries()[1]->vendorId, 0x1234u);
  EXPECT_EQ(hid.Entries()[1]->productId, 0x5678u);
  EXPECT_EQ(hid.Current(), nullptr);
}

TEST_F(DeviceManagerTest, OpenOpensOnlyTheHandlesOfTheMode) {
  backend.AddDevice(Mode1());
  backend.AddDevice(Mode2());
  hid.Scan();
  ASSERT_EQ(hid.Entries().size(), 2u);
  EXPECT_EQ(backend.OpenHandles(), 0);
  auto mode1 = backend.Device("sim:0");
  auto mode2 = backend.Device("sim:1");

  ASSERT_TRUE(hid.Open(hid.Entries()[1]));
  EXPECT_EQ(mode2->OpenHandles(HidOpenMode::kQuery), 1);
  EXPECT_EQ(mode2->OpenHandles(), 1);
  EXPECT_TRUE(hid.Entries()[1]->featureHandle);
  EXPECT_FALSE(hid.Entries()[1]->writeHandle);
  EXPECT_EQ(hid.Current(), hid.Entries()[1]);

  ASSERT_TRUE(hid.Open(hid.Entries()[0]));
  EXPECT_EQ(mode1->OpenHandles(HidOpenMode::kWrite), 1);
  EXPECT_EQ(mode1->OpenHandles(HidOpenMode::kRead), 1);
  EXPECT_EQ(mode1->OpenHandles(), 2);
  // Opening again keeps the handles it has.
  ASSERT_TRUE(hid.Open(hid.Entries()[0]));
  EXPECT_EQ(mode1->OpenHandles(), 2);

  // The next scan closes everything Open opened.
  hid.Scan();
  EXPECT_EQ(backend.OpenHandles(), 0);
  EXPECT_EQ(hid.Current(), nullptr);
}

TEST_F(DeviceManagerTest, WithNoCurrentEntryEveryCommandFailsAndSendsNothing) {
  backend.AddDevice(Mode1());
  auto device = backend.Device("sim:0");
  hid.Scan();  // listed, not opened
  device->ClearFrames();
  const long sends = device->Sends();
  for (const CommandCase& c : CommandCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.run(hid));
  }
  EXPECT_EQ(device->Sends(), sends);

  backend.RemoveDevice("sim:0");
  EXPECT_FALSE(hid.Scan());
  EXPECT_EQ(hid.Current(), nullptr);
}

TEST_F(DeviceManagerTest, AnEntryHeldByAnExchangeOutlivesTheRescan) {
  auto device = AddAndOpen(Mode1());
  HidDeviceManager::Entry held = hid.Current();
  hid.Scan();
  EXPECT_EQ(hid.Current(), nullptr);
  // The rescan's new list does not include the held entry, yet its handles
  // stay open and usable until it is let go.
  EXPECT_EQ(device->OpenHandles(), 2);
  EXPECT_TRUE(held->writeHandle->SetOutputReport(Frame({0, CMD_QUERY_READY, 1}).data(), 65));
  held.reset();
  EXPECT_EQ(device->OpenHandles(), 0);
}

TEST_F(DeviceManagerTest, AnUnpluggedDeviceFailsEveryCommand) {
  auto device = AddAndOpen(Mode1());
  backend.RemoveDevice("sim:0");
  std::uint8_t out[2];
  EXPECT_FALSE(hid.ReadBlock(4, 2, out));
  EXPECT_FALSE(hid.WriteBlock(4, out, 2));
  EXPECT_FALSE(hid.Scan());
}

// A worker exchanging frames while the user-interface thread rescans: each
// reply the worker gets must answer its own request, and no entry may be
// closed under it (ThreadSanitizer and AddressSanitizer watch this one).
TEST_F(DeviceManagerTest, RescansWhileAnotherThreadExchangesFrames) {
  auto device = AddAndOpen(Mode1());
  device->SetLogging(false);
  backend.AddDevice(device);  // the same device under a second path
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> reads{0};
  std::thread worker([&] {
    int expected = 0xFF;  // the EEPROM's erased value
    for (int i = 0; !stop.load(); ++i) {
      const std::uint8_t value = static_cast<std::uint8_t>(i);
      if (hid.WriteBlock(0x200, &value, 1)) expected = value;
      std::uint8_t back = 0;
      if (hid.ReadBlock(0x200, 1, &back)) {
        ++reads;
        if (back != expected) ++mismatches;
      }
      bool ready = false;
      hid.QueryReady(ready);
    }
  });
  for (int round = 0; round < 200 || (reads.load() < 50 && round < 100000); ++round) {
    const auto first = hid.Scan();
    if (first) hid.Open(hid.Entries()[round % hid.Entries().size()]);
  }
  stop = true;
  worker.join();
  EXPECT_EQ(mismatches.load(), 0);
  hid.Clear();
  EXPECT_EQ(backend.OpenHandles(), 0);
}

// Two users of one device never interleave: the second is refused at once,
// and a scan does not probe a device someone has claimed.
TEST_F(DeviceManagerTest, AClaimedDeviceIsBusyForEveryOtherUserUntilReleased) {
  const auto device = AddAndOpen(Mode1());
  HidDeviceManager other(backend);
  const auto entry = hid.Current();
  std::string error;
  DeviceClaimPtr claim = hid.Claim(entry, &error);
  ASSERT_TRUE(claim) << error;

  EXPECT_FALSE(hid.Claim(entry, &error)) << "not even the same manager twice";
  EXPECT_EQ(error.rfind("device busy: another program is burning or reading sim:0", 0), 0u)
      << error;
  device->ClearFrames();
  EXPECT_FALSE(other.Scan());
  ASSERT_EQ(other.Skipped().size(), 1u);
  EXPECT_EQ(other.Skipped()[0].m_reason, "busy: another program is burning or reading it");
  EXPECT_EQ(other.Skipped()[0].m_why, SkipReason::kBusy);
  EXPECT_TRUE(device->Frames().empty()) << "no probe went to the claimed device";

  claim.reset();
  const auto again = other.Scan();
  ASSERT_TRUE(again);
  EXPECT_TRUE(other.Claim(again, &error)) << error;
}

}  // namespace
}  // namespace tessarin
