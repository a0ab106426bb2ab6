// The hidraw backend, unmodified, against hidraw devices that umockdev
// emulates: enumeration from sysfs, report lengths, the four report calls,
// open failures, and the device monitor.
#include "platform/linux/hidraw_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "hid/protocol.h"
#include "support/linux/hidraw_testbed_choice.h"

namespace tessarin {
namespace {

using testing::Testbed;

using testing::NewPlatformBackend;

SimDeviceConfig Mode1() { return testing::SimConfigForMode(REPORT_MODE_OUTPUT_INPUT); }
SimDeviceConfig Mode2() { return testing::SimConfigForMode(REPORT_MODE_FEATURE); }
std::unique_ptr<HidBackend> NewBackend() { return NewPlatformBackend(); }

TEST(HidrawBackend, EnumeratesIdsAndLengthsFromSysfsOrTheNode) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  SimDeviceConfig other = Mode1();
  other.m_vendorId = 0x046D;
  other.m_productId = 0xC077;
  other.m_outputReportByteLength = 64;
  other.m_featureReportByteLength = 64;
  SimDeviceConfig both = Mode1();
  both.m_featureReportByteLength = 65;
  both.m_productId = 0x8042;

  struct Row {
    SimDeviceConfig config;
    Testbed::Options options;
    std::uint16_t vendor, product, output, feature;
  } rows[] = {
      {Mode1(), {}, 0x0495, 0x8041, 65, 0},
      {Mode2(), {}, 0x0495, 0x8041, 0, 65},
      {other, {}, 0x046D, 0xC077, 64, 64},
      {both,
       {.sysfsDescriptor = false, .descriptor = {}, .answers = true, .usbPort = {}},
       0x0495,
       0x8042,
       65,
       65},
  };
  std::vector<std::string> nodes;
  for (Row& r : rows) nodes.push_back(bed.Add(r.config, r.options).node);

  auto backend = NewBackend();
  const auto found = backend->Enumerate();
  ASSERT_EQ(found.size(), std::size(rows));
  // udev lists by sysfs path, which on a real kernel sorts by the ids first.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    SCOPED_TRACE(nodes[i]);
    const auto f = std::find_if(found.begin(), found.end(),
                                [&](const HidInterfaceInfo& x) { return x.m_path == nodes[i]; });
    ASSERT_NE(f, found.end());
    EXPECT_EQ(f->m_error, "");
    EXPECT_EQ(f->m_vendorId, rows[i].vendor);
    EXPECT_EQ(f->m_productId, rows[i].product);
    EXPECT_EQ(f->m_outputReportByteLength, rows[i].output);
    EXPECT_EQ(f->m_featureReportByteLength, rows[i].feature);
  }
}

TEST(HidrawBackend, MalformedDescriptorIsReportedWithTheNode) {
  SKIP_UNLESS_TESTBED();
  if (Testbed::kRealKernel) GTEST_SKIP() << "the kernel's HID core makes no node for such a device";
  Testbed bed;
  bed.Add(std::make_shared<SimDevice>(Mode1()),
          {.sysfsDescriptor = true,
           .descriptor = {0x06, 0x00, 0xFF, 0xA1, 0x01, 0xB4, 0xC0},
           .answers = true,
           .usbPort = {}});
  auto backend = NewBackend();
  const auto found = backend->Enumerate();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].m_error, "/dev/hidraw0: report descriptor, byte 5: Pop without a Push");
}

TEST(HidrawBackend, CarriesFramesInBothReportModes) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  auto& out = bed.Add(Mode1());
  auto& feature = bed.Add(Mode2());
  for (auto* d : {&out, &feature}) d->device->SetEeprom(0x7FC0, {0x12, 0x34, 0x56});
  auto backend = NewBackend();
  std::string error;

  // Mode 1: output reports on a write-only handle, input reports fetched on a
  // read-only one.
  auto write = backend->Open(out.node, HidOpenMode::kWrite, &error);
  auto read = backend->Open(out.node, HidOpenMode::kRead, &error);
  ASSERT_TRUE(write && read) << error;
  ReportFrame request = ReadRequestFrame(0x7FC0, 3);
  ReportFrame reply{};
  reply.fill(0xEE);
  reply[0] = 0;
  ASSERT_TRUE(write->SetOutputReport(request.data(), request.size()));
  ASSERT_TRUE(read->GetInputReport(reply.data(), reply.size()));
  EXPECT_EQ(reply[1], 0x12);
  EXPECT_EQ(reply[2], 0x34);
  EXPECT_EQ(reply[3], 0x56);
  // This interface has no feature report: the device refuses one.
  EXPECT_FALSE(write->SetFeature(request.data(), request.size()));

  // Mode 2: both ways as feature reports on the one query handle.
  auto query = backend->Open(feature.node, HidOpenMode::kQuery, &error);
  ASSERT_TRUE(query) << error;
  reply.fill(0);
  ASSERT_TRUE(query->SetFeature(request.data(), request.size()));
  ASSERT_TRUE(query->GetFeature(reply.data(), reply.size()));
  EXPECT_EQ(reply[1], 0x12);
  EXPECT_EQ(reply[3], 0x56);
  // An output report to a device without one: the emulated node refuses the
  // write; the kernel hands every output report to a uhid device without
  // waiting for an answer, so there write() succeeds and the device drops it.
  EXPECT_EQ(query->SetOutputReport(request.data(), request.size()), Testbed::kRealKernel);
  EXPECT_FALSE(query->GetInputReport(reply.data(), reply.size()));

  // The device received the whole 65-byte frame, report ID first.
  for (auto* d : {&out, &feature}) {
    const auto requests = d->device->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].m_bytes, request);
  }
  EXPECT_EQ(out.device->Requests()[0].m_transfer, FrameTransfer::kSendOutput);
  EXPECT_EQ(feature.device->Requests()[0].m_transfer, FrameTransfer::kSendFeature);
}

TEST(HidrawBackend, UnpluggedDeviceFailsEveryCallOnOpenHandles) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  auto& d = bed.Add(Mode1());
  auto backend = NewBackend();
  std::string error;
  auto write = backend->Open(d.node, HidOpenMode::kWrite, &error);
  auto read = backend->Open(d.node, HidOpenMode::kRead, &error);
  ASSERT_TRUE(write && read) << error;
  ReportFrame request = ReadRequestFrame(0, 8);
  ReportFrame reply{};

  // Gone between the request and its reply.
  d.device->VanishAfter(1);
  EXPECT_TRUE(write->SetOutputReport(request.data(), request.size()));
  EXPECT_FALSE(read->GetInputReport(reply.data(), reply.size()));

  bed.Unplug(d);
  EXPECT_FALSE(write->SetOutputReport(request.data(), request.size()));
  EXPECT_FALSE(read->GetInputReport(reply.data(), reply.size()));
  EXPECT_TRUE(backend->Enumerate().empty());
  EXPECT_FALSE(backend->Open(d.node, HidOpenMode::kQuery, &error));
  EXPECT_EQ(error, "open " + d.node + ": No such file or directory (the device was unplugged)");
}

TEST(HidrawBackend, PermissionFailureNamesNodeRuleAndReload) {
  const std::string text = DescribeHidrawOpenFailure("/dev/hidraw3", EACCES);
  EXPECT_EQ(text.rfind("open /dev/hidraw3: Permission denied. ", 0), 0u) << text;
  EXPECT_NE(text.find("70-tessarin.rules"), std::string::npos) << text;
  EXPECT_NE(text.find("udevadm control --reload && udevadm trigger"), std::string::npos) << text;
  // The rule is named where it really is, wherever the install put it.
  for (const std::string& place : UdevRuleCandidates()) {
    SCOPED_TRACE(place);
    const std::string advice = UdevRuleAdvice([&](const std::string& p) { return p == place; });
    EXPECT_EQ(advice.rfind("The udev rule " + place + " gives access", 0), 0u) << advice;
  }
  const std::string none = UdevRuleAdvice([](const std::string&) { return false; });
  EXPECT_NE(none.find("not installed (looked for " + std::string(kUdevRulePath)),
            std::string::npos)
      << none;
  // Other failures carry no advice that would not help.
  EXPECT_EQ(DescribeHidrawOpenFailure("/dev/hidraw3", EBUSY),
            "open /dev/hidraw3: Device or resource busy");
}

TEST(HidrawBackend, NodeWithoutAccessIsRefusedWithTheRule) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  auto& d = bed.Add(Mode2(), {.sysfsDescriptor = true, .descriptor = {}, .answers = false, .usbPort = {}});
  ASSERT_TRUE(bed.RestrictNode(d));
  auto backend = NewBackend();

  std::string error;
  if (::geteuid() != 0) {
    EXPECT_FALSE(backend->Open(d.node, HidOpenMode::kQuery, &error));
  } else {
    // root passes every permission check: try as an ordinary user in a child.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFds[0]);
      std::string message;
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
        message = "cannot drop root";
      } else if (backend->Open(d.node, HidOpenMode::kQuery, &message)) {
        message = "opened";
      }
      (void)!::write(pipeFds[1], message.data(), message.size());
      ::_exit(0);
    }
    ::close(pipeFds[1]);
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) error.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
  }
  EXPECT_EQ(error, DescribeHidrawOpenFailure(d.node, EACCES));
}

// Waits (bounded) for the monitor's descriptor, then lets the backend call the
// listener; returns the event codes it received.
std::vector<int> DeliverChanges(HidBackend& backend) {
  std::vector<int> codes;
  backend.SetDeviceChangeListener([&codes](int code) { codes.push_back(code); });
  pollfd p{backend.DeviceChangeFd(), POLLIN, 0};
  if (::poll(&p, 1, 5000) == 1) backend.ProcessDeviceChanges();
  backend.SetDeviceChangeListener({});
  return codes;
}

TEST(HidrawBackend, EachPlugAndUnplugIsOneDeviceChange) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;  // the monitor binds to the testbed, so it comes first
  auto backend = NewBackend();
  ASSERT_GE(backend->DeviceChangeFd(), 0);

  auto& first = bed.Add(Mode1());
  EXPECT_EQ(DeliverChanges(*backend), std::vector<int>{DEVICE_NODES_CHANGED});
  auto& second = bed.Add(Mode2());
  EXPECT_EQ(DeliverChanges(*backend), std::vector<int>{DEVICE_NODES_CHANGED});
  bed.Unplug(first);
  EXPECT_EQ(DeliverChanges(*backend), std::vector<int>{DEVICE_NODES_CHANGED});
  ASSERT_EQ(backend->Enumerate().size(), 1u);
  EXPECT_EQ(backend->Enumerate()[0].m_path, second.node);

  // Nothing queued: processing is a no-op that does not block.
  int calls = 0;
  backend->SetDeviceChangeListener([&calls](int) { ++calls; });
  backend->ProcessDeviceChanges();
  EXPECT_EQ(calls, 0);
  // Other actions on the subsystem are no arrival or removal.
  bed.Uevent(second, "change");
  pollfd p{backend->DeviceChangeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  backend->ProcessDeviceChanges();
  EXPECT_EQ(calls, 0);
}

#if !TESSARIN_TESTBED_UHID
// Adds USB devices that have no HID interface, which only the emulation can.
TEST(HidrawBackend, AnyUsbDeviceArrivingIsAChangeAndABurstIsOne) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  auto backend = NewBackend();
  ASSERT_GE(backend->DeviceChangeFd(), 0);
  // A USB device without any hidraw node yet (a hub, or a device still starting).
  const auto addUsb = [&](const char* name) {
    char* syspath = umockdev_testbed_add_device(bed.bed(), "usb", name, nullptr, "idVendor",
                                                "0495", nullptr, "DEVTYPE", "usb_device", nullptr);
    ASSERT_NE(syspath, nullptr);
    g_free(syspath);
  };
  addUsb("7-1");
  EXPECT_EQ(DeliverChanges(*backend), std::vector<int>{DEVICE_NODES_CHANGED});
  // Three arrivals queued before the watcher looks: one rescan.
  addUsb("7-2");
  addUsb("7-3");
  bed.Add(Mode1());
  pollfd p{backend->DeviceChangeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  ::usleep(50 * 1000);  // let the whole burst arrive
  EXPECT_EQ(DeliverChanges(*backend), std::vector<int>{DEVICE_NODES_CHANGED});
}

TEST(HidrawBackend, AnInterfaceCarriesItsUsbPortAndANewDeviceThereTheSame) {
  SKIP_UNLESS_TESTBED();
  Testbed bed;
  Testbed::Options onHub;
  onHub.usbPort = "1-4.2";
  auto& first = bed.Add(Mode1(), onHub);
  auto& second = bed.Add(Mode2());  // the second device, on port 1-2
  auto backend = NewBackend();
  auto found = backend->Enumerate();
  ASSERT_EQ(found.size(), 2u);
  for (const HidInterfaceInfo& info : found) {
    EXPECT_EQ(info.m_port, info.m_path == first.node    ? "1-4.2"
                           : info.m_path == second.node ? "1-2"
                                                        : "?");
  }

  // Unplugged, and another unit plugged into the same port: a new node, the same port.
  bed.Unplug(first);
  auto& next = bed.Add(Mode1(), onHub);
  found = backend->Enumerate();
  ASSERT_EQ(found.size(), 2u);
  const auto it = std::find_if(found.begin(), found.end(),
                               [&](const HidInterfaceInfo& i) { return i.m_path == next.node; });
  ASSERT_NE(it, found.end());
  EXPECT_NE(next.node, first.node);
  EXPECT_EQ(it->m_port, "1-4.2");
}
#endif

}  // namespace
}  // namespace tessarin
