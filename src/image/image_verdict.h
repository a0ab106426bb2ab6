// Whether an image may be burned into a device, with the refusal in the
// words the window, the command-line tool and the station show.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "hid/device_info.h"
#include "image/compat_state.h"

namespace tessarin {

struct ImageVerdict {
  ImageSuitability m_kind = ImageSuitability::kSuits;
  /// Empty when the image suits; otherwise the refusal (see JudgeImage).
  std::string m_message;
  /// How the device's identifiers classify it (its target-list line).
  DeviceClass m_deviceClass;

  bool Burnable() const { return m_kind == ImageSuitability::kSuits; }
};

/// The rule on the window's record of device and image. The message is the
/// window's own words: the device's target-list line without its leading
/// blanks for kNotOwnDevice ("Not Kestrova Device"), kNotSupportedText for
/// kNotSupported.
ImageVerdict JudgeImage(const CompatState& state);

/// The rule on a device and an image's bytes, the message naming the
/// identifiers behind a refusal: "Not Kestrova Device (1234:5678)", with
/// " at <devicePath>" inside the brackets when a path is given, and
/// "<kNotSupportedText> (the image is for 0495:8043, the device is 0495:8041)".
ImageVerdict JudgeImage(std::uint32_t vendorId, std::uint32_t productId,
                        std::span<const std::uint8_t> image, std::string_view devicePath = {});

}  // namespace tessarin
