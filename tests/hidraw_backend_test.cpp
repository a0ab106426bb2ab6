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
#include "support/hidraw_testbed.h"

namespace tessarin {
namespace {

using testing::HidrawTestbed;

using testing::NewPlatformBackend;

SimDeviceConfig Mode1() { return testing::SimConfigForMode(REPORT_MODE_OUTPUT_INPUT); }
SimDeviceConfig Mode2() { return testing::SimConfigForMode(REPORT_MODE_FEATURE); }
std::unique_ptr<HidBackend> NewBackend() { return NewPlatformBackend(); }

TEST(HidrawBackend, EnumeratesIdsAndLengthsFromSysfsOrTheNode) {
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;
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
    HidrawTestbed::Options options;
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
  for (Row& r : rows) bed.Add(r.config, r.options);

  auto backend = NewBackend();
  const auto found = backend->Enumerate();
  ASSERT_EQ(found.size(), std::size(rows));
  for (std::size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(found[i].m_path, "/dev/hidraw" + std::to_string(i));
    EXPECT_EQ(found[i].m_error, "");
    EXPECT_EQ(found[i].m_vendorId, rows[i].vendor);
    EXPECT_EQ(found[i].m_productId, rows[i].product);
    EXPECT_EQ(found[i].m_outputReportByteLength, rows[i].output);
    EXPECT_EQ(found[i].m_featureReportByteLength, rows[i].feature);
  }
}

TEST(HidrawBackend, MalformedDescriptorIsReportedWithTheNode) {
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;
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
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;
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
  EXPECT_FALSE(query->SetOutputReport(request.data(), request.size()));
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
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;
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
  EXPECT_EQ(error, "open /dev/hidraw0: No such file or directory (the device was unplugged)");
}

TEST(HidrawBackend, PermissionFailureNamesNodeRuleAndReload) {
  const std::string text = DescribeHidrawOpenFailure("/dev/hidraw3", EACCES);
  EXPECT_EQ(text.rfind("open /dev/hidraw3: Permission denied. ", 0), 0u) << text;
  EXPECT_NE(text.find(kUdevRulePath), std::string::npos) << text;
  EXPECT_NE(text.find("/lib/udev/rules.d/70-tessarin.rules"), std::string::npos) << text;
  EXPECT_NE(text.find("udevadm control --reload && udevadm trigger"), std::string::npos) << text;
  // Other failures carry no advice that would not help.
  EXPECT_EQ(DescribeHidrawOpenFailure("/dev/hidraw3", EBUSY),
            "open /dev/hidraw3: Device or resource busy");
}

TEST(HidrawBackend, NodeWithoutAccessIsRefusedWithTheRule) {
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;
  // Opened as a plain file, through umockdev's default ioctl socket, which
  // the ordinary user must be able to reach.
  auto& d = bed.Add(Mode2(),
                    {.sysfsDescriptor = true, .descriptor = {}, .answers = false, .usbPort = {}});
  const std::string root = bed.RootDir();
  ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((root + "/ioctl/_default").c_str(), 0777), 0);
  ASSERT_EQ(::chmod((root + "/dev/hidraw0").c_str(), 0600), 0);
  auto backend = NewBackend();

  std::string error;
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod((root + "/dev/hidraw0").c_str(), 0), 0);
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
  EXPECT_EQ(error, DescribeHidrawOpenFailure("/dev/hidraw0", EACCES));
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
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;  // the monitor binds to the testbed, so it comes first
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
  umockdev_testbed_uevent(bed.bed(), second.hidraw.c_str(), "change");
  pollfd p{backend->DeviceChangeFd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  backend->ProcessDeviceChanges();
  EXPECT_EQ(calls, 0);
}

TEST(HidrawBackend, AnInterfaceCarriesItsUsbPortAndANewDeviceThereTheSame) {
  SKIP_UNLESS_UMOCKDEV();
  HidrawTestbed bed;
  HidrawTestbed::Options onHub;
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

}  // namespace
}  // namespace tessarin
