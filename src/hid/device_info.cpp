#include "hid/device_info.h"

#include <cstdio>

#include "hid/hid_device_manager.h"

namespace tessarin {

DeviceClass ClassifyDevice(std::uint32_t vendorId, std::uint32_t productId) {
  const DeviceClass own{"   Kestrova device", 0, 0};
  const DeviceClass foreignFirmware{"   Not Kestrova Firware", 0, 1};
  const DeviceClass other{"  Not Kestrova Device", 1, 0};
  if (vendorId != KESTROVA_VENDOR_ID) return other;
  switch (productId) {
    case 0x1041:
    case 0x1042:
      return own;
    case 0x1043:
    case 0x110B:
    case 0x1101:
    case 0x1049:
    case 0x1056:
      return foreignFirmware;
    default:
      break;
  }
  return (productId >> 12) == 8 ? own : other;
}

std::optional<std::string> ReadDeviceVersion(HidDeviceManager& hid) {
  std::uint8_t bytes[2] = {0, 0};  // addresses 4 (minor) and 5 (major)
  if (!hid.ReadBlock(4, 2, bytes)) return std::nullopt;
  if (bytes[0] == 0 && bytes[1] == 0) return std::string();
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d", bytes[1], bytes[0]);
  return std::string(text);
}

std::string ReadDeviceCur(HidDeviceManager& hid) {
  std::uint8_t bytes[2] = {0, 0};  // addresses 10 (low) and 11 (high)
  if (!hid.ReadBlock(10, 2, bytes)) return "";
  const int cur = bytes[0] + 256 * bytes[1];
  if (cur == 0) return "";
  return std::to_string(cur);
}

}  // namespace tessarin
