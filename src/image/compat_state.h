// Whether an image suits the target device, and whether Burn may be pressed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

/// The refusal on the message line, and the blank (38 spaces) that replaces it.
inline constexpr char kNotSupportedText[] = "The selected file don't support this device";
inline constexpr int kBlankMessageWidth = 38;
std::string BlankMessage();

/// What UpdateBurnButton decides.
struct BurnDecision {
  bool m_burnEnabled = false;
  /// New text for the message line; nullopt: the line keeps its text.
  std::optional<std::string> m_message;
  /// Turn the message line red (never cleared by the decision).
  bool m_messageRed = false;
};

/// The Burn rule shared by the window and the command-line tool. `imageHeld`: an image is held
/// (an empty one counts). `workerRunning`: a burn is in progress; Burn then stays disabled
/// whatever else holds, so a refresh during a burn cannot enable a second one.
BurnDecision DecideBurn(const CompatState& state, bool deviceOpen, bool imageHeld,
                        bool workerRunning = false);

}  // namespace tessarin
