// What the end of a unit's burn means: its outcome, its serial's fate and
// the words for the record.
#pragma once

#include <string>

#include "burn/burn_status.h"
#include "burn/burn_worker.h"
#include "station/record_store.h"

namespace tessarin {

/// How a unit's burn ended, as its slot saw it.
struct BurnEnd {
  BurnResult m_result = BurnResult::kFailed;
  /// The station saw the port lose its device during the burn.
  bool m_unplugged = false;
  /// The device was still attached when the burn had ended.
  bool m_present = true;
  /// The verify got to its end: from there on the descriptor may reach the
  /// device.
  bool m_pastVerify = false;
  /// The last status the burn posted.
  BurnStatus m_lastStatus = BurnStatus::BURN_IDLE;
  /// The commit got through: the device holds the image (its descriptor
  /// comes after).
  bool m_committed = false;
};

struct BurnVerdict {
  UnitOutcome m_outcome = UnitOutcome::kFailed;
  SerialFate m_fate = SerialFate::kFailed;
  /// Why it stopped or failed, for the record; empty after a pass.
  std::string m_message;
};

/// The one rule for a burn's end. A stop comes only before the commit, so
/// its serial never reached the device; a failure spends the serial only
/// once the burn was past its verify; a failure that was the device leaving
/// counts as stopped. The message says what the device holds: no valid
/// image before the commit, the image with a descriptor that may be cut
/// short after it.
BurnVerdict ClassifyBurnEnd(const BurnEnd& end);

}  // namespace tessarin
