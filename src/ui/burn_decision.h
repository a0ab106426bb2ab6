// The Burn button's rule and the message line it writes.
#pragma once

#include <optional>
#include <string>

#include "image/compat_state.h"

namespace tessarin {

/// The blank (38 spaces) that replaces the refusal on the message line.
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

/// The compatibility rule (JudgeImage) applied to the window: `deviceOpen`, a device is
/// open; `imageHeld`, an image is held (an empty one counts); `workerRunning`, a burn is in
/// progress, and Burn then stays disabled whatever else holds, so a refresh during a burn
/// cannot enable a second one.
BurnDecision DecideBurn(const CompatState& state, bool deviceOpen, bool imageHeld,
                        bool workerRunning = false);

}  // namespace tessarin
