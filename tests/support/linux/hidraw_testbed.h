// An umockdev testbed holding emulated hidraw devices (sysfs entries, /dev
// nodes, uevents) whose ioctls and writes are answered by simulated devices.
// Needs the process to run under libumockdev-preload.
#pragma once

#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid_platform.h"
#include "platform/linux/hid_report_descriptor.h"
#include "sim/sim_device.h"
#include "support/linux/hidraw_common.h"
#include "support/sim_configs.h"

namespace tessarin::testing {

/// True when the preload that redirects /dev and /sys is active. Checked from
/// the environment, since umockdev caches its own answer.
inline bool UnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

#define SKIP_UNLESS_UMOCKDEV()                                                               \
  if (!::tessarin::testing::UnderUmockdev())                                                 \
  GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it): the emulated " \
                  "hidraw devices are not available"

/// One emulated hidraw interface and the simulated device behind it.
struct EmulatedHidraw {
  int index = 0;
  std::string node;    ///< /dev/hidrawN
  std::string hidraw;  ///< sysfs paths, bottom-up
  std::string hid;
  std::string usbInterface;
  std::string usbDevice;
  std::shared_ptr<SimDevice> device;
  std::vector<std::uint8_t> descriptor;
  UMockdevIoctlBase* handler = nullptr;
  bool present = true;
};

struct EmulationOptions {
  /// Leave the report descriptor out of sysfs: the backend must ask the node.
  bool sysfsDescriptor = true;
  /// Replaces the descriptor derived from the device's report lengths.
  std::vector<std::uint8_t> descriptor;
  /// False: no handler answers on the node (a plain file behind /dev).
  bool answers = true;
  /// The USB port path the device is plugged into; empty: "1-<n>" for the n-th device.
  std::string usbPort;
};

class HidrawTestbed {
 public:
  /// umockdev answers in the kernel's place.
  static constexpr bool kRealKernel = false;

  HidrawTestbed() : m_bed(umockdev_testbed_new()) {}
  ~HidrawTestbed() {
    for (auto& d : m_devices) {
      if (d->handler) {
        umockdev_testbed_detach_ioctl(m_bed, d->node.c_str(), nullptr);
        g_object_unref(d->handler);
      }
    }
    g_object_unref(m_bed);
  }
  HidrawTestbed(const HidrawTestbed&) = delete;
  HidrawTestbed& operator=(const HidrawTestbed&) = delete;

  using Options = EmulationOptions;

  /// Plugs in `device` as the next hidrawN; the testbed sends the "add" uevent.
  EmulatedHidraw& Add(std::shared_ptr<SimDevice> device, Options options) {
    auto d = std::make_unique<EmulatedHidraw>();
    d->index = static_cast<int>(m_devices.size());
    d->device = std::move(device);
    const SimDeviceConfig& c = d->device->Config();
    d->descriptor = options.descriptor.empty() ? VendorReportDescriptor(c.m_outputReportByteLength,
                                                                        c.m_inputReportByteLength,
                                                                        c.m_featureReportByteLength)
                                               : options.descriptor;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", c.m_vendorId, c.m_productId);
    const std::string n = std::to_string(d->index);
    const std::string port =
        options.usbPort.empty() ? "1-" + std::to_string(d->index + 1) : options.usbPort;
    d->usbDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + port;
    d->usbInterface = d->usbDevice + "/" + port + ":1.0";
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%s.%04X", ids, d->index + 1);
    d->hid = d->usbInterface + "/" + hidName;
    d->hidraw = d->hid + "/hidraw/hidraw" + n;
    d->node = "/dev/hidraw" + n;

    char vid[8], pid[8], hidId[40];
    std::snprintf(vid, sizeof vid, "%04x", c.m_vendorId);
    std::snprintf(pid, sizeof pid, "%04x", c.m_productId);
    std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", c.m_vendorId, c.m_productId);
    std::string hex;
    for (std::uint8_t b : d->descriptor) {
      char two[3];
      std::snprintf(two, sizeof two, "%02X", b);
      hex += two;
    }
    const std::string strip = "/sys";
    std::string text;
    text += "P: " + d->usbDevice.substr(strip.size()) +
            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vid +
            "\nA: idProduct=" + pid + "\n\n";
    text += "P: " + d->usbInterface.substr(strip.size()) +
            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n";
    text += "P: " + d->hid.substr(strip.size()) + "\nE: SUBSYSTEM=hid\nE: HID_ID=" + hidId + "\n";
    if (options.sysfsDescriptor) text += "H: report_descriptor=" + hex + "\n";
    text += "\n";
    // The handler is attached before the node exists to the code under test:
    // an fd opened before attaching would keep the default (ENOTTY) handler.
    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(&HidrawTestbed::OnIoctl), d.get());
    g_signal_connect(d->handler, "handle-write", G_CALLBACK(&HidrawTestbed::OnWrite), d.get());
    text += "P: " + d->hidraw.substr(strip.size()) + "\nN: hidraw" + n +
            "=00\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + d->node + "\nA: dev=240:" + n +
            "\nL: device=../../../" + hidName + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_bed, text.c_str(), &error)) {
      ADD_FAILURE() << "testbed refused the device: " << (error ? error->message : "?");
      if (error) g_error_free(error);
    }
    if (!options.answers) {
      g_object_unref(d->handler);
      d->handler = nullptr;
    } else if (!umockdev_testbed_attach_ioctl(m_bed, d->node.c_str(), d->handler, &error)) {
      ADD_FAILURE() << "cannot attach the ioctl handler: " << (error ? error->message : "?");
      if (error) g_error_free(error);
    }
    m_devices.push_back(std::move(d));
    return *m_devices.back();
  }
  EmulatedHidraw& Add(std::shared_ptr<SimDevice> device) { return Add(std::move(device), {}); }
  EmulatedHidraw& Add(SimDeviceConfig config, Options options = {}) {
    return Add(std::make_shared<SimDevice>(std::move(config)), std::move(options));
  }

  /// Unplugs: the device stops answering (as the kernel answers ENODEV on
  /// fds still open), the "remove" uevent goes out, then the sysfs entries go
  /// bottom-up.
  void Unplug(EmulatedHidraw& d) {
    d.device->Vanish();
    umockdev_testbed_uevent(m_bed, d.hidraw.c_str(), "remove");
    for (const std::string* p : {&d.hidraw, &d.hid, &d.usbInterface, &d.usbDevice}) {
      umockdev_testbed_remove_device(m_bed, p->c_str());
    }
    d.present = false;
  }

  /// Makes the node of a device added with `answers = false` (a plain file)
  /// one nobody but root may open; umockdev's socket behind it stays open to
  /// all, so that an ordinary user gets as far as the node.
  bool RestrictNode(EmulatedHidraw& d) {
    const std::string root = RootDir();
    return ::chmod(root.c_str(), 0755) == 0 &&
           ::chmod((root + "/ioctl/_default").c_str(), 0777) == 0 &&
           ::chmod((root + d.node).c_str(), 0) == 0;
  }

  /// Sends the uevent `action` for the device's hidraw node.
  void Uevent(EmulatedHidraw& d, const char* action) {
    umockdev_testbed_uevent(m_bed, d.hidraw.c_str(), action);
  }

  UMockdevTestbed* bed() { return m_bed; }
  std::string RootDir() {
    gchar* root = umockdev_testbed_get_root_dir(m_bed);
    std::string s = root;
    g_free(root);
    return s;
  }

 private:
  // Runs on umockdev's worker thread; SimDevice is safe to call from any thread.
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* d = static_cast<EmulatedHidraw*>(user);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (_IOC_TYPE(request) != 'H') {
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return TRUE;
    }
    const std::size_t size = _IOC_SIZE(request);
    UMockdevIoctlData* arg =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
    if (!arg) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    long result = -1;
    int error = 0;
    const bool gone = d->device->Vanished();
    auto transfer = [&](bool ok) {
      if (ok) {
        result = static_cast<long>(size);
      } else {
        error = d->device->Vanished() ? ENODEV : EPIPE;
      }
    };
    switch (_IOC_NR(request)) {
      case 0x01:  // HIDIOCGRDESCSIZE
        if (gone) {
          error = ENODEV;
          break;
        }
        *reinterpret_cast<int*>(arg->data) = static_cast<int>(d->descriptor.size());
        result = 0;
        break;
      case 0x02: {  // HIDIOCGRDESC
        if (gone) {
          error = ENODEV;
          break;
        }
        auto* rd = reinterpret_cast<hidraw_report_descriptor*>(arg->data);
        const std::size_t n = std::min<std::size_t>(rd->size, d->descriptor.size());
        std::memcpy(rd->value, d->descriptor.data(), n);
        result = 0;
        break;
      }
      case 0x03: {  // HIDIOCGRAWINFO
        if (gone) {
          error = ENODEV;
          break;
        }
        auto* info = reinterpret_cast<hidraw_devinfo*>(arg->data);
        info->bustype = 3;
        info->vendor = static_cast<__s16>(d->device->Config().m_vendorId);
        info->product = static_cast<__s16>(d->device->Config().m_productId);
        result = 0;
        break;
      }
      case 0x06:  // HIDIOCSFEATURE
        transfer(d->device->HandleSend(HidReportType::kFeature, arg->data, size));
        break;
      case 0x07:  // HIDIOCGFEATURE
        transfer(d->device->HandleFetch(HidReportType::kFeature, arg->data, size));
        break;
      case 0x0A:  // HIDIOCGINPUT
        transfer(d->device->HandleFetch(HidReportType::kInput, arg->data, size));
        break;
      case 0x0B:  // HIDIOCSOUTPUT
        transfer(d->device->HandleSend(HidReportType::kOutput, arg->data, size));
        break;
      default:
        error = ENOTTY;
        break;
    }
    g_object_unref(arg);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  }

  static gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* d = static_cast<EmulatedHidraw*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);  // not a new reference
    const bool ok = d->device->HandleSend(HidReportType::kOutput, arg->data,
                                          static_cast<std::size_t>(arg->data_len));
    umockdev_ioctl_client_complete(client, ok ? arg->data_len : -1,
                                   ok ? 0 : (d->device->Vanished() ? ENODEV : EPIPE));
    return TRUE;
  }

  UMockdevTestbed* m_bed;
  std::vector<std::unique_ptr<EmulatedHidraw>> m_devices;
};

}  // namespace tessarin::testing
