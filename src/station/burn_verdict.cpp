#include "station/burn_verdict.h"

namespace tessarin {

BurnVerdict ClassifyBurnEnd(const BurnEnd& end) {
  BurnVerdict verdict;
  switch (end.m_result) {
    case BurnResult::kDone:
      verdict.m_outcome = UnitOutcome::kPassed;
      verdict.m_fate = SerialFate::kUsed;
      return verdict;
    case BurnResult::kStopped:
      verdict.m_outcome = UnitOutcome::kStopped;
      verdict.m_fate = SerialFate::kReturned;
      verdict.m_message =
          end.m_unplugged
              ? "unplugged during the burn: the device holds no valid image"
              : "stopped before the commit: the device holds no valid image; burn it again";
      return verdict;
    case BurnResult::kFailed:
    case BurnResult::kAlreadyRunning:
      break;
  }
  verdict.m_fate = end.m_pastVerify ? SerialFate::kFailed : SerialFate::kReturned;
  if (end.m_unplugged || !end.m_present) {
    // The failed transfer was the device leaving: the operator pulled it.
    verdict.m_outcome = UnitOutcome::kStopped;
    verdict.m_message = "unplugged during the burn";
  } else {
    verdict.m_outcome = UnitOutcome::kFailed;
    verdict.m_message = BurnStatusText(end.m_lastStatus);
  }
  if (!end.m_pastVerify) {
    verdict.m_message += "; the device holds no valid image";
  } else if (!end.m_committed) {
    verdict.m_message +=
        " after the verify, before the commit: the device holds no valid image (0xFF in its "
        "first byte); its serial is spent";
  } else {
    verdict.m_message +=
        " after the commit: the device holds the image, its serial descriptor may be cut "
        "short; its serial is spent";
  }
  return verdict;
}

}  // namespace tessarin
