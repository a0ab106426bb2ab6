#include "image/compat_state.h"

#include <algorithm>
#include <array>
#include <span>

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

std::string BlankMessage() { return std::string(kBlankMessageWidth, ' '); }

BurnDecision DecideBurn(const CompatState& state, bool deviceOpen, bool imageHeld,
                        bool workerRunning) {
  BurnDecision decision;
  if (state.notOwnDevice != 0 || !deviceOpen || !imageHeld) return decision;
  if (state.imageHasIds == 1) {
    if (IsImageCompatible(state)) {
      decision.m_burnEnabled = true;
      decision.m_message = BlankMessage();
    } else {
      decision.m_message = kNotSupportedText;
      decision.m_messageRed = true;
    }
  } else {
    decision.m_burnEnabled = true;
  }
  // Only one burn at a time: the message line still follows the image, the button does not.
  if (workerRunning) decision.m_burnEnabled = false;
  return decision;
}

}  // namespace tessarin
