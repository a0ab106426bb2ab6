#include "sim/sim_spec.h"
#include "support/test_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace tessarin {
namespace {

namespace fs = std::filesystem;

TEST(SimSpec, DefaultIsOnePlainKestrovaDevice) {
  std::string error;
  const auto spec = ParseSimSpec("default", &error);
  ASSERT_TRUE(spec) << error;
  ASSERT_EQ(spec->m_devices.size(), 1u);
  const SimDeviceConfig& d = spec->m_devices[0];
  EXPECT_EQ(d.m_vendorId, 0x0495);
  EXPECT_EQ(d.m_productId, 0x8041);
  EXPECT_EQ(d.m_outputReportByteLength, 65);
  EXPECT_FALSE(d.m_pagedWrite);
  EXPECT_EQ(d.m_readyAfter, 0);
  EXPECT_TRUE(d.m_answersProbe);
  EXPECT_EQ(spec->m_dir, "");
}

TEST(SimSpec, EveryKey) {
  std::string error;
  const auto spec = ParseSimSpec(
      " dir=/tmp/k ; vid=1234,pid=0x42,mode=2,paged=1,ready-after=3,probe=0,latency=170us,"
      "fail-send=2,fail-send=5,fail-fetch=1,corrupt=0x7FC0,corrupt=16,vanish-after=9,"
      "deny-open=1,image=fw.rom ; mode=none ; ready-after=never,latency=2ms;none",
      &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_EQ(spec->m_dir, "/tmp/k");
  ASSERT_EQ(spec->m_devices.size(), 3u);
  const SimDeviceConfig& a = spec->m_devices[0];
  EXPECT_EQ(a.m_vendorId, 0x1234);
  EXPECT_EQ(a.m_productId, 0x0042);
  EXPECT_EQ(a.m_outputReportByteLength, 0);
  EXPECT_EQ(a.m_featureReportByteLength, 65);
  EXPECT_TRUE(a.m_pagedWrite);
  EXPECT_EQ(a.m_readyAfter, 3);
  EXPECT_FALSE(a.m_answersProbe);
  EXPECT_EQ(a.m_latency, std::chrono::microseconds(170));
  EXPECT_EQ(a.m_failSends, (std::set<long>{2, 5}));
  EXPECT_EQ(a.m_failFetches, (std::set<long>{1}));
  EXPECT_EQ(a.m_corruptAddresses, (std::set<std::uint32_t>{0x7FC0, 16}));
  EXPECT_EQ(a.m_vanishAfterFrames, 9);
  EXPECT_TRUE(a.m_denyOpen);
  EXPECT_EQ(a.m_imageFile, "fw.rom");
  EXPECT_EQ(spec->m_devices[1].m_outputReportByteLength, 64);
  EXPECT_EQ(spec->m_devices[1].m_featureReportByteLength, 64);
  EXPECT_EQ(spec->m_devices[2].m_readyAfter, SimDeviceConfig::kReadyNever);
  EXPECT_EQ(spec->m_devices[2].m_latency, std::chrono::milliseconds(2));
}

TEST(SimSpec, UnitsMakeAPlugPlanWithTheDevicesKeys) {
  std::string error;
  const auto spec =
      ParseSimSpec("units=8,ports=4,every=10ms,linger=1s,pid=8043,vanish-after=9;default", &error);
  ASSERT_TRUE(spec) << error;
  ASSERT_EQ(spec->m_plans.size(), 1u);
  ASSERT_EQ(spec->m_devices.size(), 1u);
  const SimPlugPlan& plan = spec->m_plans[0];
  EXPECT_EQ(plan.m_units, 8);
  EXPECT_EQ(plan.m_ports, 4);
  EXPECT_EQ(plan.m_every, std::chrono::milliseconds(10));
  EXPECT_EQ(plan.m_linger, std::chrono::seconds(1));
  EXPECT_EQ(plan.m_device.m_productId, 0x8043);
  EXPECT_EQ(plan.m_device.m_vanishAfterFrames, 9);
}

TEST(SimSpec, APlanPlugsEachUnitIntoAFreePortAndUnplugsItWhenIdle) {
  std::string error;
  const auto spec = ParseSimSpec("units=3,ports=2,every=1ms,linger=20ms", &error);
  ASSERT_TRUE(spec) << error;
  auto backend = CreateSimBackend(*spec, &error, nullptr);
  ASSERT_TRUE(backend) << error;
  std::set<std::string> ports;
  std::size_t most = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!backend->PluggingDone() && std::chrono::steady_clock::now() < deadline) {
    const auto present = backend->Enumerate();
    most = std::max(most, present.size());
    for (const HidInterfaceInfo& info : present) ports.insert(info.m_port);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(backend->PluggingDone());
  EXPECT_EQ(ports, (std::set<std::string>{"port-1", "port-2"}));
  EXPECT_EQ(most, 2u);  // never more devices than ports
  EXPECT_TRUE(backend->Enumerate().empty());
}

TEST(SimSpec, TheHelpShowsEveryKeyTheParserTakesAndTheDefaults) {
  std::string error;
  EXPECT_FALSE(ParseSimSpec("colour=red", &error));
  const std::size_t open = error.find("(known: ");
  ASSERT_NE(open, std::string::npos) << error;
  std::string known = error.substr(open + 8);
  known = known.substr(0, known.find(')'));
  const std::string help = SimSpecHelp();
  std::size_t keys = 0;
  for (std::size_t at = 0; at < known.size();) {
    const std::size_t comma = known.find(", ", at);
    const std::string key = known.substr(at, comma - at);
    EXPECT_NE(help.find("\n  " + key + "="), std::string::npos) << key;
    ++keys;
    at = comma == std::string::npos ? known.size() : comma + 2;
  }
  EXPECT_EQ(keys, 17u);
  for (const char* shown : {"  default          one Kestrova device: vid=0495,pid=8041,mode=1\n",
                            "vendor id, 1 to 4 hex digits (default 0495)",
                            "product id (default 8041)", "1: 65-byte output and input reports",
                            "none: 64-byte reports, not usable",
                            "  ready-after=N|never   ready queries",
                            "(at most 32768 bytes); a file kept by\n                   dir=",
                            "the pause between two plugs (default 200ms)",
                            "(default 500ms; 20 times as long before its first transfer)"}) {
    EXPECT_NE(help.find(shown), std::string::npos) << shown;
  }
}

TEST(SimSpec, NoneMeansNoDevice) {
  const auto spec = ParseSimSpec("none", nullptr);
  ASSERT_TRUE(spec);
  EXPECT_TRUE(spec->m_devices.empty());
}

struct BadCase {
  const char* spec;
  const char* named;  // the part of the message that names the bad item
};

TEST(SimSpec, ErrorsNameTheBadItem) {
  const BadCase cases[] = {
      {"", "empty"},
      {" ; ", "empty"},
      {"defualt", "\"defualt\": expected KEY=VALUE"},
      {"vid=12345", "\"vid=12345\": expected 1 to 4 hex digits"},
      {"vid=", "\"vid=\""},
      {"pid=zz", "\"pid=zz\""},
      {"mode=3", "\"mode=3\": expected 1, 2 or none"},
      {"paged=yes", "\"paged=yes\": expected 0 or 1"},
      {"ready-after=soon", "\"ready-after=soon\""},
      {"ready-after=-1", "\"ready-after=-1\""},
      {"latency=5", "\"latency=5\""},
      {"latency=5 ms", "\"latency=5 ms\""},
      {"latency=11s", "\"latency=11s\""},
      {"fail-send=0", "\"fail-send=0\""},
      {"corrupt=0x10000", "\"corrupt=0x10000\""},
      {"vanish-after=x", "\"vanish-after=x\""},
      {"image=", "\"image=\""},
      {"dir=", "dir="},
      {"default;colour=red", "unknown key \"colour\""},
      {"vid=0495,vid=1234", "\"vid\" is given twice"},
      {"mode=1,paged=1,mode=2", "\"mode\" is given twice"},
      {"units=0", "\"units=0\": expected 1 to 100000"},
      {"units=2,ports=0", "\"ports=0\""},
      {"units=2,every=soon", "\"every=soon\""},
      {"ports=2", "go with units=N"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.spec);
    std::string error;
    EXPECT_FALSE(ParseSimSpec(c.spec, &error));
    EXPECT_EQ(error.rfind("--simulate: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
  }
}

TEST(SimSpec, BackendKeepsEachEepromInTheDirectory) {
  const fs::path dir = fs::temp_directory_path() / "tessarin-simspec-dir";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string error;
  const auto spec = ParseSimSpec("dir=" + dir.string() + ";default;mode=2", &error);
  ASSERT_TRUE(spec) << error;
  {
    auto backend = CreateSimBackend(*spec, &error, std::make_shared<FakeSimClock>());
    ASSERT_TRUE(backend) << error;
    const auto interfaces = backend->Enumerate();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[1].m_path, "sim:1");
    EXPECT_EQ(interfaces[1].m_featureReportByteLength, 65);
    backend->Device("sim:1")->SetEeprom(5, {3});
  }
  EXPECT_TRUE(fs::exists(dir / "sim-1.eeprom"));
  {
    auto again = CreateSimBackend(*spec, &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Device("sim:1")->Eeprom()[5], 3);
    EXPECT_EQ(again->Device("sim:0")->Eeprom()[5], 0xFF);
  }  // a mapped file cannot be removed on Windows
  fs::remove_all(dir);
}

TEST(SimSpec, BackendKeepsThePlannedFaults) {
  std::string error;
  const auto spec = ParseSimSpec("vanish-after=2,probe=0", &error);
  ASSERT_TRUE(spec) << error;
  auto backend = CreateSimBackend(*spec, &error, nullptr);
  ASSERT_TRUE(backend) << error;
  auto device = backend->Device("sim:0");
  EXPECT_FALSE(device->Config().m_answersProbe);
  EXPECT_FALSE(device->Vanished());
  device->HandleSend(HidReportType::kOutput, std::vector<std::uint8_t>(65).data(), 65);
  device->HandleSend(HidReportType::kOutput, std::vector<std::uint8_t>(65).data(), 65);
  EXPECT_TRUE(device->Vanished());
}

TEST(SimSpec, RepeatableKeysMayRepeatAndVanishAfterZeroMeansAtOnce) {
  std::string error;
  const auto spec = ParseSimSpec("fail-send=2,fail-send=3,corrupt=5,corrupt=6;vanish-after=0", &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_EQ(spec->m_devices[0].m_failSends.size(), 2u);
  auto backend = CreateSimBackend(*spec, &error, nullptr);
  ASSERT_TRUE(backend) << error;
  const auto listed = backend->Enumerate();
  ASSERT_EQ(listed.size(), 1u) << "the device gone at once is never listed";
  EXPECT_EQ(listed[0].m_path, "sim:0");
}

TEST(SimSpec, PlannedVanishingIsAnnouncedLikeARemoval) {
  std::string error;
  auto backend = CreateSimBackend(*ParseSimSpec("vanish-after=3", &error), &error, nullptr);
  ASSERT_TRUE(backend) << error;
  int changes = 0;
  backend->SetDeviceChangeListener([&](int code) {
    EXPECT_EQ(code, DEVICE_NODES_CHANGED);
    ++changes;
  });
  auto device = backend->Device("sim:0");
  const std::vector<std::uint8_t> frame(65);
  for (int i = 0; i < 5; ++i) device->HandleSend(HidReportType::kOutput, frame.data(), 65);
  EXPECT_EQ(changes, 1) << "one notice, at the transfer that unplugged it";
  EXPECT_TRUE(backend->Enumerate().empty());
}

TEST(SimSpec, BackendReportsFilesItCannotUse) {
  std::string error;
  auto spec = ParseSimSpec("dir=/nonexistent/tessarin;default", &error);
  ASSERT_TRUE(spec);
  EXPECT_FALSE(CreateSimBackend(*spec, &error));
  EXPECT_NE(error.find("/nonexistent/tessarin"), std::string::npos) << error;
  spec = ParseSimSpec("image=/nonexistent/fw.rom", &error);
  ASSERT_TRUE(spec);
  EXPECT_FALSE(CreateSimBackend(*spec, &error));
  EXPECT_NE(error.find("/nonexistent/fw.rom"), std::string::npos) << error;

  // A folder or a FIFO where a file is expected: a clear refusal, never a hang or a throw.
  const fs::path dir = fs::temp_directory_path() / "tessarin-simspec-odd";
  fs::remove_all(dir);
  fs::create_directories(dir / "sim-0.eeprom");
  std::vector<std::string> odd = {"image=" + dir.string(), "dir=" + dir.string() + ";default"};
  if (CreateFifo(dir / "fifo.rom", nullptr)) odd.push_back("image=" + (dir / "fifo.rom").string());
  for (const std::string& text : odd) {
    SCOPED_TRACE(text);
    spec = ParseSimSpec(text, &error);
    ASSERT_TRUE(spec) << error;
    EXPECT_FALSE(CreateSimBackend(*spec, &error));
    EXPECT_NE(error.find(dir.string()), std::string::npos) << error;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tessarin
