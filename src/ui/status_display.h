// The burn's status on the main dialog: the status text and the progress bar.
#pragma once

#include <cstdint>
#include <optional>

#include "ui/dialog_framework.h"

namespace tessarin {

/// Remembers the code whose text is shown (m_lastStatus) and shows each new
/// status: a new code sets the text and the bar's range afresh, every status
/// sets the position its code asks for.
class CStatusDisplay {
 public:
  CStatusDisplay(int statusId, int progressId) : m_statusId(statusId), m_progressId(progressId) {}

  /// Shows (code, count). `rangeMax` is the range of the codes that count
  /// bytes (the size of the image being burned). Returns true when the code
  /// differed from the one shown, so its text and range were set.
  bool Show(DialogFramework& framework, unsigned code, long count, std::int32_t rangeMax);

  /// The code shown; none before the first status.
  std::optional<unsigned> m_lastStatus;

 private:
  int m_statusId;
  int m_progressId;
};

}  // namespace tessarin
