// The thin layer between the device manager and the operating system's HID
// stack: what the manager needs of the platform, and the device-change
// listener slot every backend keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tessarin {

/// The kind of HID report a transfer carries.
enum class HidReportType { kOutput, kInput, kFeature };

/// One transfer on a handle: a report sent to the device or fetched from it.
enum class FrameTransfer { kSendOutput, kFetchInput, kSendFeature, kFetchFeature };

/// One HID interface present on the system, as the enumeration found it.
/// The report lengths count the report ID byte, also for devices that use no
/// report IDs, the way Windows' HIDP_CAPS does; 0 means "no such report".
struct HidInterfaceInfo {
  std::string m_path;  ///< Opaque name of the interface, given back to Open().
  std::uint16_t m_vendorId = 0;
  std::uint16_t m_productId = 0;
  std::uint16_t m_outputReportByteLength = 0;
  std::uint16_t m_featureReportByteLength = 0;
  /// The physical port the device is plugged into, stable while it stays
  /// there and the same for the next device plugged into it: the USB port
  /// path from sysfs on Linux ("1-2.3"), the location path on Windows, the
  /// port a simulated device was plugged into. Empty when unknown.
  std::string m_port;
  /// Empty when the interface could be examined; otherwise why its ids or
  /// lengths could not be read (the fields above are then unreliable).
  std::string m_error;
};

/// How a handle is opened on an interface path.
enum class HidOpenMode {
  kQuery,  ///< Neither read nor write access: attributes, capabilities, feature reports.
  kWrite,  ///< Write access: output reports.
  kRead,   ///< Read access: input reports.
};

/// An open handle on one HID interface. Move-only by construction (held in a
/// std::unique_ptr); the implementation closes the OS handle in its
/// destructor. The four report calls take a buffer of the report's length
/// whose byte 0 is the report ID, and return true when the platform call succeeded. They
/// may be called from two threads at once (one exchange under the device
/// lock, one unlocked write), so implementations keep no unguarded state.
class HidHandle {
 public:
  HidHandle() = default;
  HidHandle(const HidHandle&) = delete;
  HidHandle& operator=(const HidHandle&) = delete;
  virtual ~HidHandle() = default;

  virtual bool SetOutputReport(const std::uint8_t* report, std::size_t length) = 0;
  virtual bool GetInputReport(std::uint8_t* report, std::size_t length) = 0;
  virtual bool SetFeature(const std::uint8_t* report, std::size_t length) = 0;
  virtual bool GetFeature(std::uint8_t* report, std::size_t length) = 0;
};

using HidHandlePtr = std::unique_ptr<HidHandle>;

/// The device-change event code for "a device was added or removed": the
/// value of Windows' DBT_DEVNODES_CHANGED (named apart from that macro, which
/// dbt.h defines), the one code the listener receives.
inline constexpr int DEVICE_NODES_CHANGED = 7;

/// Called once for every arrival or removal of a HID interface, with
/// DEVICE_NODES_CHANGED. Which thread calls it is the backend's business
/// (documented there); front ends marshal it to their own thread.
using DeviceChangeListener = std::function<void(int eventCode)>;

/// Holds a backend's listener and calls it, so that whoever removes or
/// replaces it may free what the old one refers to as soon as Set() returns:
/// a call in progress on another thread is waited for, and no call begins
/// with the old listener afterwards. Calls are made one at a time. A call
/// holds no lock of the backend, so the listener may enumerate or open
/// devices, and it may replace or remove itself; it must not wait for
/// another thread that is setting the listener. Any thread.
class DeviceChangeSlot {
 public:
  /// Installs `listener` (an empty function removes it).
  void Set(DeviceChangeListener listener) {
    std::lock_guard<std::recursive_mutex> lock(m_call);
    m_listener =
        listener ? std::make_shared<const DeviceChangeListener>(std::move(listener)) : nullptr;
  }

  /// Calls the listener, if one is installed, with `eventCode`.
  void Notify(int eventCode = DEVICE_NODES_CHANGED) {
    std::lock_guard<std::recursive_mutex> lock(m_call);
    // The copy keeps a listener that replaces itself alive until it returns.
    const std::shared_ptr<const DeviceChangeListener> listener = m_listener;
    if (listener) (*listener)(eventCode);
  }

 private:
  /// Held through each call and by Set(); recursive, so a listener may set
  /// the listener.
  std::recursive_mutex m_call;
  std::shared_ptr<const DeviceChangeListener> m_listener;
};

/// The exclusive use of one device by this program for a burn or a read, so
/// that two programs (or two windows) never interleave their frames. Released
/// when the object goes, and by the system when the process ends.
class DeviceClaim {
 public:
  DeviceClaim() = default;
  DeviceClaim(const DeviceClaim&) = delete;
  DeviceClaim& operator=(const DeviceClaim&) = delete;
  virtual ~DeviceClaim() = default;
};

using DeviceClaimPtr = std::unique_ptr<DeviceClaim>;

/// A source of HID interfaces: the real OS stack, or simulated devices.
class HidBackend {
 public:
  HidBackend() = default;
  HidBackend(const HidBackend&) = delete;
  HidBackend& operator=(const HidBackend&) = delete;
  virtual ~HidBackend() = default;

  /// The HID interfaces present now, in the platform's enumeration order.
  virtual std::vector<HidInterfaceInfo> Enumerate() = 0;

  /// Opens a handle on `path`. Returns null on failure and, when `error` is
  /// given, puts there a message naming the path, the OS reason and, where
  /// the user can act, what to do.
  virtual HidHandlePtr Open(const std::string& path, HidOpenMode mode, std::string* error) = 0;

  /// Claims the device at `path` for this program without waiting. Null when
  /// another holder (in this process or another) has it, with *busy set;
  /// otherwise a claim, also where the device cannot be locked at all (the
  /// claim then holds nothing). Any thread.
  virtual DeviceClaimPtr Claim(const std::string& path, bool* busy) {
    (void)path;
    *busy = false;
    return std::make_unique<DeviceClaim>();
  }

  /// Installs (or, with an empty function, removes) the device-change listener.
  /// Returns once a call of the old listener in progress on another thread has
  /// ended, and the old listener is never called again (a DeviceChangeSlot).
  virtual void SetDeviceChangeListener(DeviceChangeListener listener) = 0;

  /// A file descriptor that becomes readable when devices change, for front
  /// ends that watch descriptors (the window's socket notifier); -1 when the
  /// backend calls the listener by itself. When it is readable, call
  /// ProcessDeviceChanges() on the same thread that watches it.
  virtual int DeviceChangeFd() const { return -1; }
  virtual void ProcessDeviceChanges() {}
};

/// The real backend of this platform (hidraw + libudev on Linux, SetupDi +
/// HID class driver on Windows). Null when the platform has none.
std::unique_ptr<HidBackend> CreatePlatformHidBackend(std::string* error);

/// What a user of this platform should check when no device is found (the
/// cable, and on Linux the udev rule that gives access without root).
std::string NoDeviceHint();

}  // namespace tessarin
