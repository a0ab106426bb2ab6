#include "image/compat_state.h"

#include <algorithm>
#include <array>
#include <span>

#include "hid/device_info.h"

namespace tessarin {
namespace {

// Product IDs within one family take each other's images.
constexpr std::array<uint32_t, 2> kFamily1 = {0x8041, 0x8050};
constexpr std::array<uint32_t, 3> kFamily2 = {0x8043, 0x8045, 0x8049};
constexpr std::array<uint32_t, 3> kFamily3 = {0x8046, 0x8047, 0x8048};

bool BothIn(std::span<const uint32_t> family, uint32_t a, uint32_t b) {
  return std::find(family.begin(), family.end(), a) != family.end() &&
         std::find(family.begin(), family.end(), b) != family.end();
}

}  // namespace

bool IsImageCompatible(const CompatState& state) {
  if (state.deviceForeignFirmware != 0) return true;
  if (state.deviceVid != state.imageVid) return false;
  if (state.devicePid == state.imagePid) return true;
  return BothIn(kFamily1, state.devicePid, state.imagePid) ||
         BothIn(kFamily2, state.devicePid, state.imagePid) ||
         BothIn(kFamily3, state.devicePid, state.imagePid);
}

void ApplyDeviceIds(uint32_t vendorId, uint32_t productId, CompatState* state) {
  const DeviceClass kind = ClassifyDevice(vendorId, productId);
  state->deviceVid = vendorId;
  state->devicePid = productId;
  state->deviceForeignFirmware = static_cast<uint8_t>(kind.m_deviceForeignFirmware);
  state->notOwnDevice = kind.m_notOwnDevice;
}

ImageSuitability JudgeSuitability(const CompatState& state) {
  if (state.notOwnDevice != 0) return ImageSuitability::kNotOwnDevice;
  if (state.imageHasIds == 1 && !IsImageCompatible(state)) return ImageSuitability::kNotSupported;
  return ImageSuitability::kSuits;
}

}  // namespace tessarin
