#include "platform/trace_backend.h"

#include <gtest/gtest.h>

#include <mutex>

#include "hid/device_info.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "sim/sim_backend.h"

namespace tessarin {
namespace {

TEST(TraceBackend, OneLinePerFrameCrossingIt) {
  SimBackend sim;
  SimDeviceConfig config;
  config.m_featureReportByteLength = 65;
  config.m_outputReportByteLength = 64;
  sim.AddDevice(config);
  std::mutex guard;
  std::vector<std::string> lines;
  TraceBackend trace(sim, [&](const TraceEvent& event) {
    std::lock_guard<std::mutex> lock(guard);
    lines.push_back(FormatTraceLine(event, /*foldZeroTail=*/true));
  });
  HidDeviceManager hid(trace);
  hid.Open(hid.Scan());
  sim.Device("sim:0")->SetEeprom(4, {0x08, 0x03});
  sim.Device("sim:0")->FailFetch(2) /* the read's first fetch, after the probe's */;
  EXPECT_EQ(ReadDeviceVersion(hid), "3.8");
  const std::vector<std::string> expected = {
      "send-feature ok sim:0 00 1d 80 c0 01 (+60 zero)",
      "fetch-feature ok sim:0 00 00 00 00 00 (+60 zero)",
      "send-feature ok sim:0 00 15 00 04 02 (+60 zero)",
      "fetch-feature failed sim:0 00 00 00 00 00 (+60 zero)",
      "send-feature ok sim:0 00 15 00 04 02 (+60 zero)",
      "fetch-feature ok sim:0 00 08 03 00 00 (+60 zero)",
  };
  EXPECT_EQ(lines, expected);
}

TEST(TraceBackend, PassesEnumerationErrorsAndListenerThrough) {
  SimBackend sim;
  int events = 0;
  TraceBackend trace(sim, {});
  trace.SetDeviceChangeListener([&](int) { ++events; });
  sim.AddDevice(SimDeviceConfig{});
  EXPECT_EQ(events, 1);
  EXPECT_EQ(trace.Enumerate().size(), 1u);
  std::string error;
  EXPECT_FALSE(trace.Open("sim:9", HidOpenMode::kQuery, &error));
  EXPECT_EQ(error, "open sim:9: No such device");
  // No observer: frames still pass.
  HidDeviceManager hid(trace);
  hid.Open(hid.Scan());
  EXPECT_TRUE(hid.PrepareWrite());
}

TEST(TraceBackend, LineShowsEveryByteUpToTheLastNonzero) {
  TraceEvent event;
  event.m_path = "/dev/hidraw3";
  event.m_transfer = FrameTransfer::kSendOutput;
  event.m_ok = true;
  event.m_bytes.assign(REPORT_LENGTH, 0);
  event.m_bytes[1] = 0x17;
  event.m_bytes[64] = 0xAB;
  std::string line = FormatTraceLine(event, /*foldZeroTail=*/true);
  EXPECT_EQ(line.rfind("send-output ok /dev/hidraw3 00 17 00", 0), 0u);
  EXPECT_EQ(line.substr(line.size() - 6), " 00 ab");
  EXPECT_EQ(line.find("zero"), std::string::npos);
}

}  // namespace
}  // namespace tessarin
