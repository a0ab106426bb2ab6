// The burn's status on the main dialog: the status text and the progress bar.
#pragma once

#include <cstdint>
#include <optional>

#include "burn/burn_status.h"
#include "ui/dialog_framework.h"

namespace tessarin {

/// Remembers the status whose text is shown (m_lastStatus) and shows each new
/// one: a new status sets the text and the bar's range afresh, every status
/// sets the position it asks for.
class CStatusDisplay {
 public:
  CStatusDisplay(int statusId, int progressId) : m_statusId(statusId), m_progressId(progressId) {}

  /// Shows (status, count). `rangeMax` is the range of the statuses that
  /// count bytes (the size of the image being burned). Returns true when the
  /// status differed from the one shown, so its text and range were set.
  bool Show(DialogFramework& framework, BurnStatus status, long count, std::int32_t rangeMax);

  /// The status shown; none before the first one.
  std::optional<BurnStatus> m_lastStatus;

 private:
  int m_statusId;
  int m_progressId;
};

}  // namespace tessarin
