// A HID device played by this process through /dev/uhid: the kernel's HID
// core treats it as hardware and gives it a real /dev/hidrawN, so the hidraw
// backend and the programs run against the real kernel path (descriptor
// parsing, hidraw's write and report ioctls, uevents) without a device.
//
// The kernel turns what a program does on the hidraw node into events on
// /dev/uhid: write() into UHID_OUTPUT (no reply), HIDIOCGINPUT and
// HIDIOCGFEATURE into UHID_GET_REPORT and HIDIOCSFEATURE into UHID_SET_REPORT,
// which wait (up to 5 s in the kernel) for this process's reply. Serve()
// answers one event at a time through a UhidResponder.
//
// Creating a device needs write access to /dev/uhid: root, or a udev rule
// for it (see the README). Linux only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace tessarin {

struct UhidDeviceSpec {
  std::string m_name;  ///< the device's name (HID_NAME), at most 127 bytes
  /// Its unique id (HID_UNIQ), at most 63 bytes; must differ between devices
  /// of this process, since the hidraw node is found by it.
  std::string m_uniq;
  std::uint16_t m_vendorId = 0;
  std::uint16_t m_productId = 0;
  std::vector<std::uint8_t> m_descriptor;  ///< the report descriptor
};

/// Answers the kernel's requests for one device; called on the thread that
/// calls UhidDevice::Serve(). Reports are passed the way hidraw carries them
/// for a device without report IDs: byte 0 the report ID (0), then the data.
class UhidResponder {
 public:
  virtual ~UhidResponder() = default;
  /// An output report written to the node, or a SET_REPORT (feature or
  /// output). False refuses it: a SET_REPORT then fails with EIO; an output
  /// report cannot be refused (hidraw's write() has already returned).
  virtual bool OnSend(HidReportType type, const std::uint8_t* report, std::size_t length) = 0;
  /// A GET_REPORT of an input or feature report: fill `report` (byte 0 holds
  /// the report number asked for) and return the length given, at most
  /// report.size(); 0 refuses it and the caller's ioctl fails with EIO.
  virtual std::size_t OnFetch(HidReportType type, std::span<std::uint8_t> report) = 0;
  /// The last open hidraw handle on the device was closed.
  virtual void OnClosed() {}
  /// True when the device is to be unplugged: Serve() then returns after the
  /// event that made it so, for its caller to Destroy() the device.
  virtual bool Gone() const { return false; }
};

class UhidDevice {
 public:
  /// Opens /dev/uhid and creates the device (bus USB). The kernel adds the
  /// hidraw node shortly after; WaitForHidrawNode() waits for it. Null on
  /// failure, with a message in *error naming the step, the OS reason and
  /// what to do.
  static std::unique_ptr<UhidDevice> Create(const UhidDeviceSpec& spec, std::string* error);
  /// Destroys the device (an unplug) and closes /dev/uhid.
  ~UhidDevice();
  UhidDevice(const UhidDevice&) = delete;
  UhidDevice& operator=(const UhidDevice&) = delete;

  /// The device's /dev/hidrawN, once the kernel has made it and its node
  /// exists; waits up to `timeout`, then gives "" (for example when the
  /// kernel refused the report descriptor).
  std::string WaitForHidrawNode(std::chrono::milliseconds timeout);
  /// The hidraw node's directory in sysfs (/sys/class/hidraw/hidrawN), ""
  /// before WaitForHidrawNode() found it.
  const std::string& HidrawSysPath() const { return m_hidrawSysPath; }

  /// Waits up to `timeout` for the kernel's next event and answers it and
  /// every event queued behind it. The kernel keeps at most 32 unread events
  /// and drops output reports beyond them, and a writer of output reports
  /// never waits for the device: the serving thread must get the CPU as soon
  /// as an event comes (run it at a real-time priority where writers loop
  /// faster than it wakes). True when nothing failed (also when no event came); false, with *error
  /// set, when /dev/uhid failed. Not to be called after Destroy().
  bool Serve(UhidResponder& responder, std::chrono::milliseconds timeout, std::string* error);

  /// Unplugs the device: its hidraw node goes away at once, and calls still
  /// waiting for a reply fail. Later calls do nothing.
  void Destroy();

 private:
  UhidDevice(int fd, std::string uniq);
  /// Reads one event and answers it: 1 when one was served, 0 when none was
  /// queued, -1 when /dev/uhid failed (*error set).
  int ServeEvent(UhidResponder& responder, std::string* error);
  bool Reply(const void* event, std::size_t length, std::string* error);

  int m_fd;
  std::string m_uniq;
  std::string m_hidrawSysPath;
};

}  // namespace tessarin
