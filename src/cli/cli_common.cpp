#include "cli/cli_common.h"

#include "cli/exit_codes.h"
#include "hid/protocol.h"
#include "image/rom_image.h"
#include "platform/terminal.h"

namespace tessarin {

std::optional<ImageReadResult> LoadImage(const std::string& file, Console& console, int* exitCode) {
  ImageReadResult result = ReadImageFile(file);
  switch (result.m_failure) {
    case ImageLoadFailure::kNone:
      return result;
    case ImageLoadFailure::kTooLarge:
      *exitCode = console.Fail(EXIT_BAD_INPUT, std::string(kImageTooLargeText) + " (" + file +
                                                   " has " + std::to_string(result.m_fileSize) +
                                                   " bytes; the EEPROM holds " +
                                                   std::to_string(EEPROM_BYTES) + ")");
      return std::nullopt;
    case ImageLoadFailure::kCannotOpen:
    case ImageLoadFailure::kReadError:
      break;
  }
  *exitCode = console.Fail(EXIT_BAD_INPUT, result.m_error + ": check the image file's path");
  return std::nullopt;
}

SharedRomImage LoadNonEmptyImage(const std::string& file, const std::string& purpose,
                                 Console& console, int* exitCode) {
  std::optional<ImageReadResult> loaded = LoadImage(file, console, exitCode);
  if (!loaded) return nullptr;
  if (loaded->m_image->ImageData().empty()) {
    // Burning nothing would still mark the device's first byte invalid, and
    // an empty image says nothing about a device.
    *exitCode = console.Fail(EXIT_BAD_INPUT, file + " is empty: there is nothing to " + purpose +
                                                 "; choose an image file");
    return nullptr;
  }
  return loaded->m_image;
}

std::optional<OpenedTarget> OpenDeviceTarget(const GlobalOptions& options,
                                             const std::string& devicePath, Console& console,
                                             int* exitCode) {
  std::string error;
  OpenedTarget opened;
  opened.m_session = DeviceSession::Create(options, &error, exitCode);
  if (!opened.m_session) {
    console.Fail(*exitCode, error);
    return std::nullopt;
  }
  opened.m_entry = opened.m_session->OpenTarget(devicePath, &error);
  if (!opened.m_entry) {
    *exitCode = console.Fail(EXIT_NO_DEVICE, error);
    return std::nullopt;
  }
  // Held through the whole burn or read, so no other program's frames come between.
  opened.m_claim = opened.m_session->Hid().Claim(opened.m_entry, &error);
  if (!opened.m_claim) {
    *exitCode = console.Fail(EXIT_NO_DEVICE, error);
    return std::nullopt;
  }
  return opened;
}

std::string TrimmedLine(const std::string& line) {
  std::size_t first = line.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : line.substr(first);
}

ImageVerdict JudgeImage(const HidDeviceEntry& target, std::span<const std::uint8_t> image) {
  return JudgeImage(target.vendorId, target.productId, image, target.devicePath);
}

const char* VerdictWord(ImageSuitability kind) {
  switch (kind) {
    case ImageSuitability::kSuits:
      return "suits";
    case ImageSuitability::kNotOwnDevice:
      return "not-kestrova";
    case ImageSuitability::kNotSupported:
      break;
  }
  return "refused";
}

ProgressStyle ChooseProgressStyle(const GlobalOptions& options) {
  if (options.m_json) return ProgressStyle::kJson;
  return IsTerminal(StdStream::kOutput) ? ProgressStyle::kBar : ProgressStyle::kLines;
}

int ProgressColumns() { return TerminalColumns(StdStream::kOutput); }

int FinishSession(DeviceSession& session, Console& console, int code) {
  std::string error;
  int failure = EXIT_DEVICE_FAILED;
  if (!session.Finish(&error, &failure)) {
    console.Fail(failure, error);
    return code == EXIT_OK ? failure : code;
  }
  return code;
}

}  // namespace tessarin
