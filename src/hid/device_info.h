// The target list's view of a device: how its identifiers classify it, and
// the version and Cur fields read from its EEPROM.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hid/protocol.h"

namespace tessarin {

class HidDeviceManager;

/// How a device's vendor and product identifiers classify it.
struct DeviceClass {
  /// The target list's line, leading blanks included: "   Kestrova device",
  /// "   Not Kestrova Firware" or "  Not Kestrova Device".
  std::string m_line;
  int m_notOwnDevice = 0;           ///< 1: not a Kestrova device
  int m_deviceForeignFirmware = 0;  ///< 1: a Kestrova device running other firmware
};

DeviceClass ClassifyDevice(std::uint32_t vendorId, std::uint32_t productId);

/// What the version field shows when the EEPROM cannot be read.
inline constexpr char kNoEepromText[] = "No EEPROM";

/// The current device's version from EEPROM addresses 5 (major) and 4
/// (minor): "%d.%d"; "" when both bytes are 0; nullopt when the read fails
/// (shown as kNoEepromText). Any thread; takes the device lock through ReadBlock.
std::optional<std::string> ReadDeviceVersion(HidDeviceManager& hid);

/// The current device's Cur value from EEPROM addresses 10 (low) and 11
/// (high): "%d"; "" when both are 0 or the read fails.
std::string ReadDeviceCur(HidDeviceManager& hid);

}  // namespace tessarin
