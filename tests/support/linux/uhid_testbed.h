// Real hidraw devices made through /dev/uhid and answered by simulated
// devices: the same Add/Unplug interface as the umockdev testbed, so the
// hidraw tests run unchanged against the kernel's HID core. Needs write
// access to /dev/uhid (root in the test guest).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/uhid_device.h"
#include "sim/sim_device.h"
#include "support/linux/hidraw_common.h"
#include "support/sim_configs.h"
#include "uhid/sim_responder.h"

namespace tessarin::testing {

/// True when this process may create uhid devices.
inline bool UhidAvailable() { return ::access("/dev/uhid", R_OK | W_OK) == 0; }

#define SKIP_UNLESS_UHID()                                                                   \
  if (!::tessarin::testing::UhidAvailable())                                                 \
  GTEST_SKIP() << "needs write access to /dev/uhid (the test guest runs these as root): no " \
                  "real HID devices can be made here"

/// The umockdev testbed's options; the kernel always shows the descriptor in
/// sysfs and a uhid device always answers, so only `descriptor` counts here.
struct UhidOptions {
  bool sysfsDescriptor = true;
  /// Replaces the descriptor derived from the device's report lengths.
  std::vector<std::uint8_t> descriptor;
  bool answers = true;
  /// Not used: a uhid device hangs on no USB port.
  std::string usbPort;
};

/// One uhid device, its hidraw node and the simulated device behind it.
struct UhidHidraw {
  std::string node;    ///< /dev/hidrawN
  std::string hidraw;  ///< its sysfs directory
  std::shared_ptr<SimDevice> device;
  std::unique_ptr<SimResponder> responder;
  std::unique_ptr<UhidDevice> uhid;
  std::atomic<bool> stop{false};
  std::thread server;
  bool present = true;
};

class UhidTestbed {
 public:
  /// The kernel itself answers: what it does with a report is real.
  static constexpr bool kRealKernel = true;
  using Options = UhidOptions;

  UhidTestbed() = default;
  ~UhidTestbed() {
    for (auto& d : m_devices) Stop(*d);
    SettleUdev();
  }
  UhidTestbed(const UhidTestbed&) = delete;
  UhidTestbed& operator=(const UhidTestbed&) = delete;

  /// Plugs in `device`; returns once its hidraw node exists. Each device is
  /// served on a thread of its own, as a device answers independently.
  UhidHidraw& Add(std::shared_ptr<SimDevice> device, Options options) {
    auto d = std::make_unique<UhidHidraw>();
    d->device = std::move(device);
    d->responder = std::make_unique<SimResponder>(d->device);
    UhidDeviceSpec spec =
        UhidSpecFor(d->device->Config(), "Tessarin test device",
                    "tessarin-test-" + std::to_string(::getpid()) + "-" + std::to_string(m_next++));
    if (!options.descriptor.empty()) spec.m_descriptor = options.descriptor;
    std::string error;
    d->uhid = UhidDevice::Create(spec, &error);
    if (!d->uhid) {
      ADD_FAILURE() << error;
    } else {
      d->node = d->uhid->WaitForHidrawNode(std::chrono::seconds(5));
      d->hidraw = d->uhid->HidrawSysPath();
      EXPECT_NE(d->node, "") << "the kernel made no hidraw node for the uhid device";
      UhidHidraw* raw = d.get();
      SettleUdev();
      d->server = std::thread([raw] {
        std::string err;
        while (!raw->stop) {
          if (!raw->uhid->Serve(*raw->responder, std::chrono::milliseconds(20), &err)) {
            ADD_FAILURE() << err;
            return;
          }
        }
      });
    }
    m_devices.push_back(std::move(d));
    return *m_devices.back();
  }
  UhidHidraw& Add(std::shared_ptr<SimDevice> device) { return Add(std::move(device), {}); }
  UhidHidraw& Add(SimDeviceConfig config, Options options = {}) {
    return Add(std::make_shared<SimDevice>(std::move(config)), std::move(options));
  }

  /// Unplugs: the device stops answering, then the uhid device is destroyed,
  /// which removes the hidraw node and sends the "remove" uevent.
  void Unplug(UhidHidraw& d) {
    d.device->Vanish();
    Stop(d);
    SettleUdev();
    d.present = false;
  }

  /// Makes the device's node one nobody but root may open.
  bool RestrictNode(UhidHidraw& d) { return ::chmod(d.node.c_str(), 0) == 0; }

  /// Makes the kernel send `action` for the device's hidraw node.
  void Uevent(UhidHidraw& d, const char* action) { std::ofstream(d.hidraw + "/uevent") << action; }

 private:
  /// With systemd-udevd running, waits until it has passed on every uevent,
  /// as a desktop's udev would long have done before anyone looks: a monitor
  /// made later would otherwise still receive the add of a device that was
  /// there before it.
  static void SettleUdev() {
    if (::access("/run/udev/control", F_OK) == 0) {
      EXPECT_EQ(std::system("udevadm settle --timeout=10"), 0) << "udevadm settle failed";
    }
  }

  static void Stop(UhidHidraw& d) {
    d.stop = true;
    if (d.server.joinable()) d.server.join();
    if (d.uhid) d.uhid->Destroy();
  }

  std::vector<std::unique_ptr<UhidHidraw>> m_devices;
  int m_next = 0;
};

}  // namespace tessarin::testing
