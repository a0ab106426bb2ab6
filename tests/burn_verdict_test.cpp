// The rule for a burn's end: outcome, what becomes of the serial, the words.
#include "station/burn_verdict.h"

#include <gtest/gtest.h>

#include "record_store_conformance.h"

namespace tessarin {
namespace {

TEST(ClassifyBurnEnd, WhereTheBurnEndedDecidesOutcomeSerialAndWords) {
  struct Case {
    BurnEnd end;
    UnitOutcome outcome;
    SerialFate fate;
    const char* message;
  };
  const Case cases[] = {
      {{BurnResult::kDone, false, true, true, BurnStatus::BURN_SUCCESS},
       UnitOutcome::kPassed,
       SerialFate::kUsed,
       ""},
      // A stop comes before the commit: the serial never reached the device.
      {{BurnResult::kStopped, false, true, false, BurnStatus::BURN_DOWNLOADING},
       UnitOutcome::kStopped,
       SerialFate::kReturned,
       "stopped before the commit: the device holds no valid image; burn it again"},
      {{BurnResult::kStopped, true, false, false, BurnStatus::BURN_VERIFYING},
       UnitOutcome::kStopped,
       SerialFate::kReturned,
       "unplugged during the burn: the device holds no valid image"},
      {{BurnResult::kFailed, false, true, false, BurnStatus::BURN_DOWNLOAD_FAILED},
       UnitOutcome::kFailed,
       SerialFate::kReturned,
       "Downloading failed; the device holds no valid image"},
      // Past the verify the descriptor may be on the device: spent.
      {{BurnResult::kFailed, false, true, true, BurnStatus::BURN_VERIFY_FAILED},
       UnitOutcome::kFailed,
       SerialFate::kFailed,
       "Verifying failed after the verify, before the commit: the device holds no valid image "
       "(0xFF in its first byte); its serial is spent"},
      {{BurnResult::kFailed, false, true, true, BurnStatus::BURN_VERIFY_FAILED, true},
       UnitOutcome::kFailed,
       SerialFate::kFailed,
       "Verifying failed after the commit: the device holds the image, its serial descriptor "
       "may be cut short; its serial is spent"},
      // A failure that was the device leaving is the operator's stop.
      {{BurnResult::kFailed, true, true, false, BurnStatus::BURN_DOWNLOAD_FAILED},
       UnitOutcome::kStopped,
       SerialFate::kReturned,
       "unplugged during the burn; the device holds no valid image"},
      {{BurnResult::kFailed, false, false, false, BurnStatus::BURN_VERIFY_FAILED},
       UnitOutcome::kStopped,
       SerialFate::kReturned,
       "unplugged during the burn; the device holds no valid image"},
      {{BurnResult::kFailed, false, false, true, BurnStatus::BURN_VERIFY_FAILED},
       UnitOutcome::kStopped,
       SerialFate::kFailed,
       "unplugged during the burn after the verify, before the commit: the device holds no "
       "valid image (0xFF in its first byte); its serial is spent"},
      {{BurnResult::kFailed, false, false, true, BurnStatus::BURN_VERIFY_FAILED, true},
       UnitOutcome::kStopped,
       SerialFate::kFailed,
       "unplugged during the burn after the commit: the device holds the image, its serial "
       "descriptor may be cut short; its serial is spent"},
      {{BurnResult::kAlreadyRunning, false, true, false, BurnStatus::BURN_IDLE},
       UnitOutcome::kFailed,
       SerialFate::kReturned,
       "Idle; the device holds no valid image"},
  };
  for (const Case& c : cases) {
    const BurnVerdict verdict = ClassifyBurnEnd(c.end);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(verdict.m_outcome, c.outcome);
    EXPECT_EQ(verdict.m_fate, c.fate);
    EXPECT_EQ(verdict.m_message, c.message);
  }
}

}  // namespace
}  // namespace tessarin
