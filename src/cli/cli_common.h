// Steps several commands share: loading the image file, opening the devices
// and the target, judging an image against the target, reading the EEPROM.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/console.h"
#include "cli/device_session.h"
#include "cli/progress.h"
#include "hid/device_info.h"
#include "image/compat_state.h"
#include "image/image_file.h"
#include "image/image_verdict.h"

namespace tessarin {

/// Reads an image file for a command. Null after printing the error (exit 2
/// in *exitCode): missing or unreadable, or larger than the device's 32 KB
/// ("The file is not for this device!").
std::optional<ImageReadResult> LoadImage(const std::string& file, Console& console, int* exitCode);

/// LoadImage for a command that needs bytes to work on (`purpose`: "burn",
/// "compare"): an empty image is refused too (exit 2), as the window does not
/// burn one. Null after printing the error.
SharedRomImage LoadNonEmptyImage(const std::string& file, const std::string& purpose,
                                 Console& console, int* exitCode);

/// A session with an open target, claimed for this program for as long as the
/// object lives (the claim goes first), or null after printing the error (its
/// exit code in *exitCode; a device another program is using: EXIT_NO_DEVICE).
struct OpenedTarget {
  std::unique_ptr<DeviceSession> m_session;
  HidDeviceManager::Entry m_entry;
  DeviceClaimPtr m_claim;
};
std::optional<OpenedTarget> OpenDeviceTarget(const GlobalOptions& options,
                                             const std::string& devicePath, Console& console,
                                             int* exitCode);

/// Whether the window would let the image be burned into the target: the
/// image's JudgeImage, a foreign device named with its path.
ImageVerdict JudgeImage(const HidDeviceEntry& target, std::span<const std::uint8_t> image);
/// The verdict's word in JSON output: "suits", "not-kestrova" or "refused".
const char* VerdictWord(ImageSuitability kind);

/// The target-list line without its leading blanks ("Kestrova device").
std::string TrimmedLine(const std::string& line);

/// The progress style for this run: JSON when asked, a bar on a terminal,
/// plain lines otherwise.
ProgressStyle ChooseProgressStyle(const GlobalOptions& options);
int ProgressColumns();

/// Ends a command that used a session: closes the trace. Returns `code`, or
/// the exit code of what failed at the end (the trace: 2) when the command
/// itself succeeded.
int FinishSession(DeviceSession& session, Console& console, int code);

}  // namespace tessarin
