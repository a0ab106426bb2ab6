#include "image/image_verdict.h"

#include "hid/device_id.h"
#include "image/rom_image.h"

namespace tessarin {

ImageVerdict JudgeImage(const CompatState& state) {
  ImageVerdict verdict;
  verdict.m_kind = JudgeSuitability(state);
  verdict.m_deviceClass = ClassifyDevice(state.deviceVid, state.devicePid);
  switch (verdict.m_kind) {
    case ImageSuitability::kSuits:
      break;
    case ImageSuitability::kNotOwnDevice: {
      const std::string& line = verdict.m_deviceClass.m_line;
      const std::size_t first = line.find_first_not_of(' ');
      verdict.m_message = first == std::string::npos ? std::string() : line.substr(first);
      break;
    }
    case ImageSuitability::kNotSupported:
      verdict.m_message = kNotSupportedText;
      break;
  }
  return verdict;
}

ImageVerdict JudgeImage(std::uint32_t vendorId, std::uint32_t productId,
                        std::span<const std::uint8_t> image, std::string_view devicePath) {
  CompatState state;
  ApplyDeviceIds(vendorId, productId, &state);
  ApplyImageIds(ParseImageFields(image), &state);
  ImageVerdict verdict = JudgeImage(state);
  const std::string device = FormatDeviceId(vendorId, productId);
  switch (verdict.m_kind) {
    case ImageSuitability::kSuits:
      break;
    case ImageSuitability::kNotOwnDevice:
      verdict.m_message += " (" + device;
      if (!devicePath.empty()) verdict.m_message += " at " + std::string(devicePath);
      verdict.m_message += ")";
      break;
    case ImageSuitability::kNotSupported:
      verdict.m_message += " (the image is for " + FormatDeviceId(state.imageVid, state.imagePid) +
                           ", the device is " + device + ")";
      break;
  }
  return verdict;
}

}  // namespace tessarin
