// A HID backend of simulated interfaces, added and removed at run time.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid_platform.h"
#include "sim/sim_clock.h"
#include "sim/sim_device.h"

namespace tessarin {

/// Devices plugged in one after the other, as an operator at a production
/// bench does: `m_units` devices of one configuration, each into the next free
/// one of `m_ports` ports, one every `m_every`, each unplugged once it has had
/// no transfer for `m_linger` (its burn is over and its result was seen; 20
/// times as long when nothing has talked to it yet), or at once when it
/// vanished on its own.
struct SimPlugPlan {
  SimDeviceConfig m_device;
  int m_units = 1;
  int m_ports = 1;
  std::chrono::nanoseconds m_every{std::chrono::milliseconds(200)};
  std::chrono::nanoseconds m_linger{std::chrono::milliseconds(500)};
};

class SimPlugger;

/// Interfaces are named "sim:0", "sim:1", ... in the order they were added;
/// a name is never reused, also after its device was removed. Enumerate()
/// lists the present devices in that order, except those that vanished.
/// Every member may be called from any thread.
class SimBackend : public HidBackend {
 public:
  /// `clock` is given to the devices AddDevice(config) creates; null: no latency.
  explicit SimBackend(std::shared_ptr<SimClock> clock = nullptr);
  /// Stops the plug plans first.
  ~SimBackend() override;

  /// Adds a device under a new path, plugged into `port` (empty: a port of its
  /// own, "usb-<n>" for path "sim:<n>"), and returns the path. Calls the
  /// device-change listener synchronously, on the calling thread, before it
  /// returns (with no lock of the backend held), and again, on the
  /// transferring thread, when the device vanishes as its configuration
  /// plans. Adding a device object that vanished before plugs it in again
  /// (Reattach()), EEPROM intact, unless `plugInAgain` is false (a new device
  /// that is to vanish at once).
  std::string AddDevice(SimDeviceConfig config, const std::string& port = {});
  std::string AddDevice(std::shared_ptr<SimDevice> device, const std::string& port = {},
                        bool plugInAgain = true);
  /// Starts plugging the plan's devices on a thread of its own, on the
  /// backend's clock (the real one when it has none; see SimPlugger), into ports "port-<k>"
  /// numbered on from 1 over all plans. Each unit keeps its EEPROM in `dir`/unit-<u>.eeprom (u
  /// counted on over all plans) when `dir` is given.
  void StartPlugging(SimPlugPlan plan, const std::string& dir);
  /// True when every plan has plugged and unplugged all its units.
  bool PluggingDone() const;
  /// Unplugs a device: it vanishes (every call on a handle still open on it
  /// fails from now on) and leaves the enumeration. Calls the listener
  /// synchronously like AddDevice. False when no such path is present.
  bool RemoveDevice(const std::string& path);

  /// The device behind `path`; null when none is present.
  std::shared_ptr<SimDevice> Device(const std::string& path) const;
  /// The present devices and their paths, in the order they were added.
  std::vector<std::pair<std::string, std::shared_ptr<SimDevice>>> Devices() const;
  /// Open handles over all present devices.
  int OpenHandles() const;

  std::vector<HidInterfaceInfo> Enumerate() override;
  /// Fails with a message naming the path when the device is unknown, gone
  /// or denies opening.
  HidHandlePtr Open(const std::string& path, HidOpenMode mode, std::string* error) override;
  /// The device's own claim (SimDevice::Claim); an unknown path holds nothing.
  DeviceClaimPtr Claim(const std::string& path, bool* busy) override;
  /// Returns once a call of the previous listener on another thread has ended.
  void SetDeviceChangeListener(DeviceChangeListener listener) override;

 private:
  std::shared_ptr<SimClock> m_clock;
  mutable std::mutex m_mutex;
  std::vector<std::pair<std::string, std::shared_ptr<SimDevice>>> m_devices;
  std::vector<std::string> m_ports;  // beside m_devices, one per device
  int m_nextIndex = 0;
  int m_nextPort = 1;
  int m_nextUnit = 0;
  std::vector<std::unique_ptr<SimPlugger>> m_pluggers;
  DeviceChangeSlot m_listener;
};

}  // namespace tessarin
