#include "ui/burn_decision.h"

#include "image/image_verdict.h"

namespace tessarin {

std::string BlankMessage() { return std::string(kBlankMessageWidth, ' '); }

BurnDecision DecideBurn(const CompatState& state, bool deviceOpen, bool imageHeld,
                        bool workerRunning) {
  BurnDecision decision;
  const ImageVerdict verdict = JudgeImage(state);
  if (verdict.m_kind == ImageSuitability::kNotOwnDevice || !deviceOpen || !imageHeld) {
    return decision;
  }
  if (verdict.m_kind == ImageSuitability::kNotSupported) {
    decision.m_message = verdict.m_message;
    decision.m_messageRed = true;
  } else {
    decision.m_burnEnabled = true;
    // An image with the identifier block clears a refusal left by the one before.
    if (state.imageHasIds == 1) decision.m_message = BlankMessage();
  }
  // Only one burn at a time: the message line still follows the image, the button does not.
  if (workerRunning) decision.m_burnEnabled = false;
  return decision;
}

}  // namespace tessarin
