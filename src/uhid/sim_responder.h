// The simulated device as the answerer of a uhid device: what the bridge
// program and the tests on a real kernel put behind /dev/uhid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/hid_platform.h"
#include "platform/linux/uhid_device.h"
#include "sim/sim_device.h"

namespace tessarin {

/// Answers the kernel for one simulated device: sends and fetches go to
/// SimDevice::HandleSend/HandleFetch with the report length the device's
/// descriptor gives for the type, so its faults and report mode apply as
/// they do under --simulate (an EEPROM kept in a file has every write in it
/// at once). Used on the thread that serves the uhid device.
class SimResponder final : public UhidResponder {
 public:
  explicit SimResponder(std::shared_ptr<SimDevice> device) : m_device(std::move(device)) {}

  bool OnSend(HidReportType type, const std::uint8_t* report, std::size_t length) override;
  std::size_t OnFetch(HidReportType type, std::span<std::uint8_t> report) override;
  /// The device has vanished (vanish-after, or Vanish()).
  bool Gone() const override { return m_device->Vanished(); }

  /// Every request that reached the device, as one line ("sim:0 request 15
  /// 00 04 02": the command and its three operand bytes); empty: none.
  void SetRequestLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }

  SimDevice& Device() { return *m_device; }

 private:
  std::shared_ptr<SimDevice> m_device;
  std::function<void(const std::string&)> m_log;
};

/// The report descriptor a simulated device shows the HID stack: its three
/// report lengths, vendor-defined.
UhidDeviceSpec UhidSpecFor(const SimDeviceConfig& config, std::string name, std::string uniq);

}  // namespace tessarin
