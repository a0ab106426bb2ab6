// The device manager on the real hidraw backend: scan, open and every
// command through emulated hidraw nodes answered by the simulated device.
#include <poll.h>

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

#include "hid/hid_device_manager.h"
#include "support/linux/hidraw_testbed_choice.h"

namespace tessarin {
namespace {

using testing::Testbed;

SimDeviceConfig WithMode(ReportMode mode) { return testing::SimConfigForMode(mode); }
std::unique_ptr<HidBackend> NewBackend() { return testing::NewPlatformBackend(); }

TEST(HidrawManager, EveryCommandWorksInBothReportModes) {
  SKIP_UNLESS_TESTBED();
  for (ReportMode mode : {REPORT_MODE_OUTPUT_INPUT, REPORT_MODE_FEATURE}) {
    SCOPED_TRACE(mode);
    Testbed bed;
    SimDeviceConfig config = WithMode(mode);
    config.m_pagedWrite = true;
    config.m_readyAfter = 1;
    auto& d = bed.Add(config);
    auto backend = NewBackend();
    HidDeviceManager manager(*backend);

    auto entry = manager.Scan();
    ASSERT_TRUE(entry);
    ASSERT_EQ(manager.Entries().size(), 1u);
    EXPECT_EQ(entry->reportMode, mode);
    EXPECT_EQ(entry->vendorId, 0x0495u);
    EXPECT_EQ(entry->productId, 0x8041u);
    EXPECT_EQ(entry->devicePath, d.node);
    ASSERT_TRUE(manager.Open(entry));
    EXPECT_EQ(entry->featureHandle != nullptr, mode == REPORT_MODE_FEATURE);
    EXPECT_EQ(entry->writeHandle != nullptr, mode == REPORT_MODE_OUTPUT_INPUT);
    EXPECT_EQ(entry->readHandle != nullptr, mode == REPORT_MODE_OUTPUT_INPUT);

    std::vector<std::uint8_t> data(WRITE_BLOCK_MAX);
    std::iota(data.begin(), data.end(), std::uint8_t{0x40});
    bool paged = false;
    bool ready = true;
    EXPECT_TRUE(manager.QueryPagedWrite(paged));
    EXPECT_TRUE(paged);
    EXPECT_TRUE(manager.PrepareWrite());
    EXPECT_TRUE(manager.WriteBlock(0x7FC0, data.data(), WRITE_BLOCK_MAX));
    EXPECT_TRUE(manager.QueryReady(ready));
    EXPECT_FALSE(ready);
    EXPECT_TRUE(manager.QueryReady(ready));
    EXPECT_TRUE(ready);
    std::vector<std::uint8_t> back(READ_BLOCK_MAX);
    EXPECT_TRUE(manager.ReadBlock(0x7FC0, READ_BLOCK_MAX, back.data()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(back[60], 0xFF);  // past the written block: erased EEPROM

    const auto eeprom = d.device->Eeprom();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), eeprom.begin() + 0x7FC0));
    // Every request went out as the mode's report type.
    const FrameTransfer sent =
        mode == REPORT_MODE_FEATURE ? FrameTransfer::kSendFeature : FrameTransfer::kSendOutput;
    const auto requests = d.device->Requests();
    ASSERT_EQ(requests.size(), 7u);  // probe + the six above
    for (const SimFrame& f : requests) EXPECT_EQ(f.m_transfer, sent);
    EXPECT_EQ(requests[0].m_bytes[1], CMD_PROBE);
  }
}

TEST(HidrawManager, ListsOnlyAnsweringInterfacesWithA65ByteReport) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  SimDeviceConfig short64 = WithMode(REPORT_MODE_OUTPUT_INPUT);
  short64.m_outputReportByteLength = 64;
  short64.m_featureReportByteLength = 64;
  SimDeviceConfig silent = WithMode(REPORT_MODE_OUTPUT_INPUT);
  silent.m_answersProbe = false;
  SimDeviceConfig silentFeature = WithMode(REPORT_MODE_FEATURE);
  silentFeature.m_answersProbe = false;
  auto& skipped = bed.Add(short64);
  auto& quiet = bed.Add(silent);
  auto& quietFeature = bed.Add(silentFeature);
  auto& good = bed.Add(WithMode(REPORT_MODE_FEATURE));
  auto backend = NewBackend();
  HidDeviceManager manager(*backend);

  const int before = testing::OpenFdCount();
  manager.Scan();
  EXPECT_EQ(testing::SettledFdCount(before), before) << "the scan left descriptors open";
  ASSERT_EQ(manager.Entries().size(), 1u);
  EXPECT_EQ(manager.Entries()[0]->devicePath, good.node);
  ASSERT_EQ(manager.Skipped().size(), 3u);
  EXPECT_EQ(manager.Skipped()[0].m_info.m_path, skipped.node);
  EXPECT_EQ(manager.Skipped()[1].m_info.m_path, quiet.node);
  EXPECT_EQ(manager.Skipped()[2].m_info.m_path, quietFeature.node);
  // Never probed: no frame reached the interface without a 65-byte report.
  EXPECT_EQ(skipped.device->Sends(), 0);
  EXPECT_EQ(quiet.device->Requests().size(), 1u);

  // The opened entry's descriptors close with the next scan.
  ASSERT_TRUE(manager.Open(manager.Entries()[0]));
  EXPECT_GT(testing::OpenFdCount(), before);
  manager.Scan();
  EXPECT_EQ(testing::SettledFdCount(before), before);
}

TEST(HidrawManager, UnplugDuringABurnGivesFailuresNotCrashes) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  auto& d = bed.Add(WithMode(REPORT_MODE_OUTPUT_INPUT));
  auto backend = NewBackend();
  HidDeviceManager manager(*backend);
  ASSERT_TRUE(manager.Open(manager.Scan()));

  // Gone between a request and its reply: the read fails, three attempts.
  d.device->VanishAfter(d.device->Sends() + d.device->Fetches() + 1);
  std::uint8_t out[READ_BLOCK_MAX];
  EXPECT_FALSE(manager.ReadBlock(0, 8, out));
  d.device->Reattach();
  ASSERT_TRUE(manager.ReadBlock(0, 8, out));

  // A worker writing and reading back while the device is unplugged under it.
  std::atomic<int> succeeded{0};
  std::atomic<bool> failed{false};
  std::thread worker([&] {
    std::uint8_t block[WRITE_BLOCK_MAX] = {1, 2, 3};
    for (int i = 0; i < 2000 && !failed; ++i) {
      const std::uint32_t address = (i * WRITE_BLOCK_MAX) % 0x7000;
      if (manager.WriteBlock(address, block, WRITE_BLOCK_MAX) &&
          manager.ReadBlock(address, WRITE_BLOCK_MAX, out)) {
        ++succeeded;
      } else {
        failed = true;
      }
    }
  });
  while (succeeded < 5 && !failed) std::this_thread::yield();
  bed.Unplug(d);
  // The front end's rescan on the device change, while the worker may still
  // hold the entry.
  std::vector<int> codes;
  backend->SetDeviceChangeListener([&](int code) {
    codes.push_back(code);
    manager.Scan();
  });
  pollfd p{backend->DeviceChangeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  backend->ProcessDeviceChanges();
  worker.join();

  EXPECT_TRUE(failed);
  EXPECT_EQ(codes, std::vector<int>{DEVICE_NODES_CHANGED});
  EXPECT_TRUE(manager.Entries().empty());
  EXPECT_FALSE(manager.Current());
  bool flag = false;
  EXPECT_FALSE(manager.QueryReady(flag));
  EXPECT_FALSE(manager.WriteBlock(0, out, 1));
}

TEST(HidrawManager, PluggingInIsSeenByTheNextScanAfterTheEvent) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  auto backend = NewBackend();
  HidDeviceManager manager(*backend);
  EXPECT_FALSE(manager.Scan());
  backend->SetDeviceChangeListener([&](int) { manager.Scan(); });
  bed.Add(WithMode(REPORT_MODE_FEATURE));
  bed.Add(WithMode(REPORT_MODE_OUTPUT_INPUT));
  pollfd p{backend->DeviceChangeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  backend->ProcessDeviceChanges();
  ASSERT_EQ(manager.Entries().size(), 2u);
  EXPECT_EQ(manager.Entries()[0]->reportMode, REPORT_MODE_FEATURE);
  EXPECT_EQ(manager.Entries()[1]->reportMode, REPORT_MODE_OUTPUT_INPUT);
}

}  // namespace
}  // namespace tessarin
