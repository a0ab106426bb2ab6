#include "cli/cli_common.h"

#include <algorithm>

#include "cli/exit_codes.h"
#include "hid/report_frame.h"
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
                                                   " bytes; the EEPROM holds 32768)");
      return std::nullopt;
    case ImageLoadFailure::kCannotOpen:
    case ImageLoadFailure::kReadError:
      break;
  }
  *exitCode = console.Fail(EXIT_BAD_INPUT, result.m_error + ": check the image file's path");
  return std::nullopt;
}

std::optional<OpenedTarget> OpenDeviceTarget(const GlobalOptions& options,
                                             const std::string& devicePath, Console& console,
                                             int* exitCode) {
  std::string error;
  OpenedTarget opened;
  opened.session = DeviceSession::Create(options, &error, exitCode);
  if (!opened.session) {
    console.Fail(*exitCode, error);
    return std::nullopt;
  }
  opened.entry = opened.session->OpenTarget(devicePath, &error);
  if (!opened.entry) {
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
  ImageVerdict verdict;
  verdict.deviceClass = ClassifyDevice(target.vendorId, target.productId);
  CompatState state;
  state.deviceVid = target.vendorId;
  state.devicePid = target.productId;
  state.deviceForeignFirmware =
      static_cast<std::uint8_t>(verdict.deviceClass.deviceForeignFirmware);
  state.notOwnDevice = verdict.deviceClass.notOwnDevice;
  ImageFields fields = ParseImageFields(image);
  ApplyImageIds(fields, &state);

  BurnDecision decision = DecideBurn(state, /*deviceOpen=*/true, /*imageHeld=*/true);
  verdict.burnable = decision.m_burnEnabled;
  std::string device = Hex4(target.vendorId) + ":" + Hex4(target.productId);
  if (verdict.burnable) {
    verdict.kind = "suits";
  } else if (state.notOwnDevice != 0) {
    verdict.kind = "not-kestrova";
    verdict.message =
        TrimmedLine(verdict.deviceClass.line) + " (" + device + " at " + target.devicePath + ")";
  } else {
    verdict.kind = "refused";
    verdict.message = std::string(kNotSupportedText) + " (the image is for " + Hex4(fields.m_vid) +
                      ":" + Hex4(fields.m_pid) + ", the device is " + device + ")";
  }
  return verdict;
}

ProgressStyle ChooseProgressStyle(const GlobalOptions& options) {
  if (options.json) return ProgressStyle::kJson;
  return IsTerminal(StdStream::kOutput) ? ProgressStyle::kBar : ProgressStyle::kLines;
}

int ProgressColumns() { return TerminalColumns(StdStream::kOutput); }

bool ReadEeprom(HidDeviceManager& hid, std::uint32_t length, std::vector<std::uint8_t>* out,
                std::uint32_t* failedAddress, const std::function<void(long)>& onBlock) {
  out->assign(length, 0);
  std::uint32_t address = 0;
  while (address < length) {
    int n = static_cast<int>(std::min<std::uint32_t>(length - address, READ_BLOCK_MAX));
    if (!hid.ReadBlock(address, n, out->data() + address)) {
      *failedAddress = address;
      return false;
    }
    address += static_cast<std::uint32_t>(n);
    if (onBlock) onBlock(static_cast<long>(address));
  }
  return true;
}

int FinishSession(DeviceSession& session, Console& console, int code) {
  std::string error;
  if (!session.Finish(&error)) {
    int failed = console.Fail(EXIT_DEVICE_FAILED, error);
    return code == EXIT_OK ? failed : code;
  }
  return code;
}

}  // namespace tessarin
