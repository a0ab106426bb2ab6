#include "sim/sim_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <fstream>
#include <thread>

#include "hid/protocol.h"
#include "sim/sim_backend.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;

ReportFrame Request(std::uint8_t command, std::uint8_t b2 = 0, std::uint8_t b3 = 0,
                    std::uint8_t b4 = 0, std::vector<std::uint8_t> data = {}) {
  ReportFrame frame{};
  frame[1] = command;
  frame[2] = b2;
  frame[3] = b3;
  frame[4] = b4;
  std::copy(data.begin(), data.end(), frame.begin() + 5);
  return frame;
}

// One request and, when it answers, its reply (byte 1 onwards).
struct Exchange {
  SimDevice& device;
  HidReportType send = HidReportType::kOutput;
  HidReportType fetch = HidReportType::kInput;

  bool Send(const ReportFrame& request) {
    return device.HandleSend(send, request.data(), request.size());
  }
  std::optional<ReportFrame> Ask(const ReportFrame& request) {
    ReportFrame reply{};
    if (!Send(request) || !device.HandleFetch(fetch, reply.data(), reply.size())) {
      return std::nullopt;
    }
    return reply;
  }
};

fs::path TempDir(const char* name) {
  const fs::path dir = fs::temp_directory_path() /
                       (std::string("tessarin-sim-") + name + "-" +
                        std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(SimDevice, StoresWritesAndAnswersReads) {
  SimDevice device;
  Exchange x{device};
  ASSERT_TRUE(x.Send(Request(CMD_WRITE_EEPROM, 0x7F, 0xC0, 3, {0x08, 0x03, 0x41})));
  const auto reply = x.Ask(Request(CMD_READ_EEPROM, 0x7F, 0xBF, 5));
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)[1], 0xFF);  // erased
  EXPECT_EQ((*reply)[2], 0x08);
  EXPECT_EQ((*reply)[4], 0x41);
  EXPECT_EQ((*reply)[5], 0xFF);
  EXPECT_EQ((*reply)[6], 0x00);  // beyond the N bytes asked
  EXPECT_EQ(device.Eeprom()[0x7FC1], 0x03);
}

TEST(SimDevice, TransfersOnlyOnReportTypesOf65Bytes) {
  SimDeviceConfig mode2;
  mode2.m_outputReportByteLength = 64;
  mode2.m_inputReportByteLength = 0;
  mode2.m_featureReportByteLength = 65;
  SimDevice device(mode2);
  const ReportFrame probe = Request(CMD_PROBE, 0x80, 0xC0, 1);
  EXPECT_FALSE(device.HandleSend(HidReportType::kOutput, probe.data(), 65));
  EXPECT_TRUE(device.HandleSend(HidReportType::kFeature, probe.data(), 65));
  EXPECT_FALSE(device.HandleSend(HidReportType::kFeature, probe.data(), 64));
  ReportFrame reply{};
  EXPECT_FALSE(device.HandleFetch(HidReportType::kInput, reply.data(), 65));
  EXPECT_TRUE(device.HandleFetch(HidReportType::kFeature, reply.data(), 65));
}

TEST(SimDevice, ProbeAndPagedWriteAnswers) {
  SimDeviceConfig config;
  config.m_pagedWrite = true;
  config.m_answersProbe = false;
  SimDevice device(config);
  Exchange x{device};
  // Nothing to answer before a request.
  ReportFrame reply{};
  EXPECT_FALSE(device.HandleFetch(HidReportType::kInput, reply.data(), 65));
  EXPECT_FALSE(x.Ask(Request(CMD_PROBE, 0x80, 0xC0, 1)));
  auto paged = x.Ask(Request(CMD_QUERY_PAGED_WRITE, 1));
  ASSERT_TRUE(paged);
  EXPECT_EQ((*paged)[1], 1);
  device.SetAnswersProbe(true);
  EXPECT_TRUE(x.Ask(Request(CMD_PROBE, 0x80, 0xC0, 1)));
}

TEST(SimDevice, ReadyAfterConfiguredBusyAnswersPerWrite) {
  for (const int after : {0, 1, 3, SimDeviceConfig::kReadyNever}) {
    SCOPED_TRACE(after);
    SimDeviceConfig config;
    config.m_readyAfter = after;
    SimDevice device(config);
    Exchange x{device};
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(x.Send(round == 0 ? Request(CMD_PREPARE_WRITE, 0, 0, 1)
                                    : Request(CMD_WRITE_EEPROM, 0, 0, 1, {7})));
      int busy = 0;
      for (int q = 0; q < 10; ++q) {
        const auto reply = x.Ask(Request(CMD_QUERY_READY, 1));
        ASSERT_TRUE(reply);
        if ((*reply)[1] != 0) break;
        ++busy;
      }
      EXPECT_EQ(busy, after == SimDeviceConfig::kReadyNever ? 10 : after);
    }
  }
}

TEST(SimDevice, FaultsOnDemand) {
  SimDevice device;
  Exchange x{device};
  device.FailSend(2);
  device.FailFetch(1);
  device.CorruptAt(0x0010);
  EXPECT_TRUE(x.Send(Request(CMD_WRITE_EEPROM, 0, 0x10, 2, {0x12, 0x34})));
  EXPECT_FALSE(x.Send(Request(CMD_WRITE_EEPROM, 0, 0x10, 2, {0x56, 0x78})));
  EXPECT_EQ(device.Eeprom()[0x10], 0x12);  // the failed send reached nothing
  EXPECT_FALSE(x.Ask(Request(CMD_READ_EEPROM, 0, 0x10, 2)));
  ReportFrame reply{};
  ASSERT_TRUE(device.HandleFetch(HidReportType::kInput, reply.data(), 65));
  EXPECT_EQ(reply[1], 0x12 ^ 0xFF);  // reads back inverted, stored intact
  EXPECT_EQ(reply[2], 0x34);
  EXPECT_EQ(device.Eeprom()[0x10], 0x12);

  // Transfers so far: 3 sends + 2 fetches. Two more work, then it is gone.
  device.VanishAfter(7);
  EXPECT_TRUE(x.Ask(Request(CMD_QUERY_READY, 1)));
  EXPECT_TRUE(device.Vanished());
  EXPECT_FALSE(x.Send(Request(CMD_WRITE_EEPROM, 0, 0, 1, {1})));
  EXPECT_FALSE(device.HandleFetch(HidReportType::kInput, reply.data(), 65));
  device.Reattach();
  EXPECT_TRUE(x.Ask(Request(CMD_QUERY_READY, 1)));
}

TEST(SimDevice, LogsEveryTransfer) {
  SimDevice device;
  Exchange x{device};
  device.FailFetch(1);
  x.Ask(Request(CMD_READ_EEPROM, 0, 4, 2));
  const auto frames = device.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].m_transfer, FrameTransfer::kSendOutput);
  EXPECT_TRUE(frames[0].m_ok);
  EXPECT_EQ(frames[0].m_bytes[1], CMD_READ_EEPROM);
  EXPECT_EQ(frames[1].m_transfer, FrameTransfer::kFetchInput);
  EXPECT_FALSE(frames[1].m_ok);
  EXPECT_EQ(device.Requests().size(), 1u);
  device.SetLogging(false);
  x.Send(Request(CMD_PREPARE_WRITE, 0, 0, 1));
  EXPECT_EQ(device.Frames().size(), 2u);
  EXPECT_EQ(device.Sends(), 2);
}

TEST(SimDevice, LatencyPassesOnTheInjectedClock) {
  auto clock = std::make_shared<FakeSimClock>();
  SimDeviceConfig config;
  config.m_latency = std::chrono::microseconds(170);
  SimDevice device(config, clock);
  Exchange x{device};
  x.Ask(Request(CMD_READ_EEPROM, 0, 0, 64));
  x.Send(Request(CMD_WRITE_EEPROM, 0, 0, 1, {1}));
  EXPECT_EQ(clock->Now(), std::chrono::microseconds(3 * 170));
}

TEST(SimDevice, EepromFileKeepsContentBetweenRuns) {
  const fs::path dir = TempDir("eeprom");
  const fs::path image = dir / "image.rom";
  {
    std::ofstream out(image, std::ios::binary);
    out << "\x01\x02\x03";
  }
  SimDeviceConfig config;
  config.m_eepromFile = (dir / "sim-0.eeprom").string();
  config.m_imageFile = image.string();
  {
    SimDevice device(config);
    EXPECT_EQ(device.LoadError(), "");
    EXPECT_EQ(device.Eeprom()[2], 0x03);
    EXPECT_EQ(device.Eeprom()[3], 0xFF);
    Exchange x{device};
    x.Send(Request(CMD_WRITE_EEPROM, 0x12, 0x34, 1, {0x5A}));
  }  // saved on destruction
  ASSERT_EQ(fs::file_size(config.m_eepromFile), EEPROM_BYTES);
  {
    // The kept EEPROM wins over the image from now on.
    SimDevice device(config);
    EXPECT_EQ(device.Eeprom()[0x1234], 0x5A);
    EXPECT_EQ(device.Eeprom()[0], 0x01);
    device.SetEeprom(0x10, {0x77});
  }
  {
    SimDevice again(config);
    EXPECT_EQ(again.Eeprom()[0x10], 0x77);
  }

  std::error_code ec;
  fs::resize_file(image, EEPROM_BYTES + 1, ec);
  SimDeviceConfig oversized;
  oversized.m_imageFile = image.string();
  SimDevice bad(oversized);
  EXPECT_NE(bad.LoadError().find("more than"), std::string::npos);
  EXPECT_EQ(bad.Eeprom()[0], 0xFF);
  fs::remove_all(dir);  // no device maps a file of it now (Windows refuses that)
}

TEST(SimDevice, AWriteLandsInTheKeptFileAtOnce) {
  const fs::path dir = TempDir("close");
  SimDeviceConfig config;
  config.m_eepromFile = (dir / "kept.eeprom").string();
  {
    SimBackend backend;
    backend.AddDevice(config);
    auto write = backend.Open("sim:0", HidOpenMode::kWrite, nullptr);
    const ReportFrame request = Request(CMD_WRITE_EEPROM, 0, 0, 1, {0x42});
    ASSERT_TRUE(write->SetOutputReport(request.data(), 65));
    // No close, no flush: a process killed now leaves the byte in the file,
    // as a real device keeps what was written into its EEPROM.
    std::ifstream in(config.m_eepromFile, std::ios::binary);
    ASSERT_EQ(in.get(), 0x42);
    EXPECT_EQ(fs::file_size(config.m_eepromFile), EEPROM_BYTES);
    EXPECT_EQ(in.get(), 0xFF);
  }  // a mapped file cannot be removed on Windows
  fs::remove_all(dir);
}

TEST(SimBackend, PathsStayUniqueAndTheListenerIsCalledAtOnce) {
  SimBackend backend;
  int events = 0;
  backend.SetDeviceChangeListener([&](int code) {
    EXPECT_EQ(code, DEVICE_NODES_CHANGED);
    ++events;
  });
  EXPECT_EQ(backend.AddDevice(SimDeviceConfig{}), "sim:0");
  EXPECT_EQ(backend.AddDevice(SimDeviceConfig{}), "sim:1");
  EXPECT_EQ(events, 2);
  EXPECT_TRUE(backend.RemoveDevice("sim:0"));
  EXPECT_FALSE(backend.RemoveDevice("sim:0"));
  EXPECT_EQ(events, 3);
  EXPECT_EQ(backend.AddDevice(SimDeviceConfig{}), "sim:2");
  const auto interfaces = backend.Enumerate();
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].m_path, "sim:1");
  EXPECT_EQ(interfaces[1].m_path, "sim:2");
  EXPECT_EQ(interfaces[1].m_vendorId, 0x0495);
  EXPECT_EQ(interfaces[1].m_outputReportByteLength, 65);
  backend.SetDeviceChangeListener({});
  backend.AddDevice(SimDeviceConfig{});
  EXPECT_EQ(events, 4);
}

TEST(SimBackend, RemovingTheListenerWaitsForACallInProgress) {
  SimBackend backend;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callOver{false};
  backend.SetDeviceChangeListener([&, released](int) {
    entered.set_value();
    released.wait();
    callOver = true;
  });
  std::thread plugger([&] { backend.AddDevice(SimDeviceConfig{}); });
  entered.get_future().wait();

  std::atomic<bool> removed{false};
  std::thread remover([&] {
    backend.SetDeviceChangeListener({});
    removed = true;
    EXPECT_TRUE(callOver.load()) << "returned while the old listener was still running";
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed.load());
  release.set_value();
  remover.join();
  plugger.join();
  EXPECT_TRUE(removed.load());
}

TEST(SimBackend, UnpluggingFailsOpenHandlesAndPluggingInRevivesTheDevice) {
  SimBackend backend;
  backend.AddDevice(SimDeviceConfig{});
  auto device = backend.Device("sim:0");
  device->SetEeprom(0, {0x11});
  auto write = backend.Open("sim:0", HidOpenMode::kWrite, nullptr);
  const ReportFrame request = Request(CMD_PREPARE_WRITE, 0, 0, 1);
  EXPECT_TRUE(write->SetOutputReport(request.data(), 65));
  backend.RemoveDevice("sim:0");
  EXPECT_FALSE(write->SetOutputReport(request.data(), 65));
  std::string error;
  EXPECT_FALSE(backend.Open("sim:0", HidOpenMode::kWrite, &error));
  EXPECT_EQ(error, "open sim:0: No such device");
  EXPECT_EQ(backend.AddDevice(device), "sim:1");
  EXPECT_TRUE(write->SetOutputReport(request.data(), 65));
  EXPECT_EQ(device->Eeprom()[0], 0x11);
}

TEST(SimBackend, HandlesCarryOnlyWhatTheirAccessAllows) {
  SimBackend backend;
  SimDeviceConfig config;
  config.m_featureReportByteLength = 65;
  backend.AddDevice(config);
  const ReportFrame request = Request(CMD_QUERY_READY, 1);
  ReportFrame reply{};
  auto query = backend.Open("sim:0", HidOpenMode::kQuery, nullptr);
  auto write = backend.Open("sim:0", HidOpenMode::kWrite, nullptr);
  auto read = backend.Open("sim:0", HidOpenMode::kRead, nullptr);
  EXPECT_FALSE(query->SetOutputReport(request.data(), 65));
  EXPECT_FALSE(read->SetOutputReport(request.data(), 65));
  EXPECT_TRUE(write->SetOutputReport(request.data(), 65));
  EXPECT_FALSE(write->GetInputReport(reply.data(), 65));
  EXPECT_TRUE(read->GetInputReport(reply.data(), 65));
  EXPECT_TRUE(query->SetFeature(request.data(), 65));
  EXPECT_TRUE(query->GetFeature(reply.data(), 65));
  EXPECT_EQ(backend.OpenHandles(), 3);
  query.reset();
  EXPECT_EQ(backend.Device("sim:0")->OpenHandles(HidOpenMode::kQuery), 0);
}

TEST(SimDevice, TwoThreadsAtOnce) {
  SimDevice device;
  auto hammer = [&device](std::uint8_t value) {
    Exchange x{device};
    for (int i = 0; i < 2000; ++i) {
      x.Send(Request(CMD_WRITE_EEPROM, 0, value, 1, {value}));
      ReportFrame reply{};
      device.HandleFetch(HidReportType::kInput, reply.data(), 65);
    }
  };
  std::thread a(hammer, 1);
  std::thread b(hammer, 2);
  a.join();
  b.join();
  EXPECT_EQ(device.Sends(), 4000);
  EXPECT_EQ(device.Eeprom()[1], 1);
  EXPECT_EQ(device.Eeprom()[2], 2);
}

}  // namespace
}  // namespace tessarin
