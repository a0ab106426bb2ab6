// Whether an image suits the target device, and whether Burn may be pressed.
#pragma once

#include <cstdint>

namespace tessarin {

/// Identifiers and flags of the target device (written by the target-list refresh) and of the
/// image (written by the image load). One record per process; user-interface thread only.
struct CompatState {
  uint32_t deviceVid = 0;
  uint32_t devicePid = 0;
  uint8_t deviceForeignFirmware = 0;  ///< 1: any image suits the device
  int32_t notOwnDevice = 1;           ///< 1: not a Kestrova device, Burn stays disabled
  uint32_t imageVid = 0;
  uint32_t imagePid = 0;
  uint8_t imageHasIds = 0;  ///< 1: the last image long enough had the identifier block
};

/// True when the image described by `state` may be burned into the device described by it:
/// foreign firmware takes any image; otherwise equal vendor IDs and equal product IDs, or
/// product IDs of the same family.
bool IsImageCompatible(const CompatState& state);

/// Takes the target device's identifiers and its classification into the device side of
/// `state` (the window's target-list refresh and the command-line tool's check).
void ApplyDeviceIds(uint32_t vendorId, uint32_t productId, CompatState* state);

/// What the rule says of an image and a device, whatever else the window waits for.
enum class ImageSuitability {
  kSuits,         ///< may be burned: an image without identifier block suits any own device
  kNotOwnDevice,  ///< the device is not a Kestrova device: nothing is burned into it
  kNotSupported,  ///< the image's identifiers refuse the device
};
ImageSuitability JudgeSuitability(const CompatState& state);

/// The refusal both front ends show for kNotSupported.
inline constexpr char kNotSupportedText[] = "The selected file don't support this device";

}  // namespace tessarin
