#include "hid/device_id.h"

#include <cstdio>

namespace tessarin {

std::string Hex4(std::uint32_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(id & 0xFFFF));
  return text;
}

std::string FormatDeviceId(std::uint32_t vendorId, std::uint32_t productId) {
  return Hex4(vendorId) + ":" + Hex4(productId);
}

}  // namespace tessarin
