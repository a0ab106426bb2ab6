// The plug plans on virtual time: when each unit goes in and comes out.
#include "sim/sim_plugger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hid/protocol.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "sim/sim_spec.h"

namespace tessarin {
namespace {

using std::chrono::milliseconds;

/// A plug or an unplug, as the device-change listener saw it.
struct PlugEvent {
  bool m_in;
  std::string m_path;
  std::string m_port;  // "-": not listed (a device that vanished at once)
  milliseconds m_at;   // on the plan's clock
};

std::string Describe(const std::vector<PlugEvent>& events) {
  std::string text;
  for (const PlugEvent& e : events) {
    text += (e.m_in ? "in " : "out ") + e.m_path + (e.m_in ? " at " + e.m_port : "") + ", " +
            std::to_string(e.m_at.count()) + " ms\n";
  }
  return text;
}

/// Runs a plan on a FakeSimClock and records what it did, each time by the
/// clock. `talk`: the listener sends one frame to each device it sees
/// plugged in, as a program that burns it would.
std::vector<PlugEvent> RunPlan(const SimPlugPlan& plan, bool talk) {
  auto clock = std::make_shared<FakeSimClock>();
  SimBackend backend(clock);
  std::vector<PlugEvent> events;
  std::vector<std::string> present;  // the paths plugged in, as last seen
  backend.SetDeviceChangeListener([&](int) {
    const auto at = std::chrono::duration_cast<milliseconds>(clock->Now());
    const std::vector<HidInterfaceInfo> listed = backend.Enumerate();
    std::vector<std::string> now;
    for (const auto& [path, device] : backend.Devices()) {
      now.push_back(path);
      if (std::find(present.begin(), present.end(), path) != present.end()) continue;
      std::string port = "-";
      for (const HidInterfaceInfo& info : listed) {
        if (info.m_path == path) port = info.m_port;
      }
      events.push_back({true, path, port, at});
      if (talk) {
        const ReportFrame probe = RequestFrame(CMD_PROBE);
        device->HandleSend(HidReportType::kOutput, probe.data(), probe.size());
      }
    }
    for (const std::string& path : present) {
      if (std::find(now.begin(), now.end(), path) == now.end()) {
        events.push_back({false, path, "", at});
      }
    }
    present = now;
  });
  std::vector<std::string> ports;
  for (int i = 1; i <= plan.m_ports; ++i) ports.push_back("port-" + std::to_string(i));
  {
    SimPlugger plugger(backend, plan, ports, "", 0, clock);
    // Virtual time runs as fast as the plugger loops; the limit only ends a
    // plugger that never finishes.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!plugger.Done() && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_TRUE(plugger.Done());
  }
  backend.SetDeviceChangeListener({});
  return events;
}

TEST(SimPlugger, PlugsIntoFreePortsAndUnplugsWhenIdleOnItsClock) {
  // The first unit goes in at once, as the plugger starts; then one look
  // every kTick (2 ms).
  SimPlugPlan plan;
  plan.m_every = milliseconds(200);
  plan.m_linger = milliseconds(500);
  struct Case {
    const char* what;
    int units, ports;
    bool talk;
    bool vanish;
    std::vector<PlugEvent> expected;
  };
  const Case cases[] = {
      {"untouched devices linger twenty times as long",
       3,
       2,
       false,
       false,
       {{true, "sim:0", "port-1", milliseconds(0)},
        {true, "sim:1", "port-2", milliseconds(200)},
        {false, "sim:0", "", milliseconds(10000)},
        {true, "sim:2", "port-1", milliseconds(10000)},
        {false, "sim:1", "", milliseconds(10200)},
        {false, "sim:2", "", milliseconds(20000)}}},
      {"a device talked to leaves once idle for the linger",
       2,
       1,
       true,
       false,
       {{true, "sim:0", "port-1", milliseconds(0)},
        {false, "sim:0", "", milliseconds(502)},
        {true, "sim:1", "port-1", milliseconds(502)},
        {false, "sim:1", "", milliseconds(1004)}}},
      {"a device that vanishes at once leaves at the next look",
       2,
       1,
       false,
       true,
       {{true, "sim:0", "-", milliseconds(0)},
        {false, "sim:0", "", milliseconds(2)},
        {true, "sim:1", "-", milliseconds(200)},
        {false, "sim:1", "", milliseconds(202)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimPlugPlan p = plan;
    p.m_units = c.units;
    p.m_ports = c.ports;
    if (c.vanish) p.m_device.m_vanishAfterFrames = 0;
    EXPECT_EQ(Describe(RunPlan(p, c.talk)), Describe(c.expected));
  }
}

TEST(SimPlugger, StopsWhenDestroyedAndLeavesItsDevicesPlugged) {
  SimBackend backend(std::make_shared<FakeSimClock>());
  SimPlugPlan plan;
  plan.m_units = 5;
  plan.m_ports = 2;
  plan.m_linger = std::chrono::hours(1);
  {
    SimPlugger plugger(backend, plan, {"port-1", "port-2"}, "", 0, nullptr);
    while (backend.Devices().size() < 1) std::this_thread::sleep_for(milliseconds(1));
  }
  const auto left = backend.Devices().size();
  EXPECT_GE(left, 1u);
  EXPECT_LE(left, 2u);
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(backend.Devices().size(), left) << "nothing plugs or unplugs after the destructor";
}

// A program that looks once as it starts (station --once, list, burn) finds the plan's first
// unit, however late the plugger's thread gets to run.
TEST(SimPlugger, TheFirstUnitIsPluggedInBeforeTheBackendIsHandedOut) {
  for (const char* text : {"units=1", "units=3,ports=2", "units=2;default"}) {
    SCOPED_TRACE(text);
    std::string error;
    const auto spec = ParseSimSpec(text, &error);
    ASSERT_TRUE(spec) << error;
    for (int run = 0; run < 50; ++run) {
      // Real time: the plugger's first look is kTick away.
      const auto backend = CreateSimBackend(*spec, &error, nullptr);
      ASSERT_TRUE(backend) << error;
      EXPECT_EQ(backend->Enumerate().size(), spec->m_devices.size() + 1) << "run " << run;
    }
  }
}

}  // namespace
}  // namespace tessarin
