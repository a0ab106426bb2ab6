#include "ui/status_display.h"

#include <algorithm>
#include <climits>

#include "burn/burn_status.h"
#include "image/utf16.h"

namespace tessarin {

bool CStatusDisplay::Show(DialogFramework& framework, BurnStatus status, long count,
                          std::int32_t rangeMax) {
  const bool changed = !m_lastStatus || *m_lastStatus != status;
  if (changed) {
    m_lastStatus = status;
    framework.ProgressSetPos(m_progressId, 0);
    switch (status) {
      case BurnStatus::BURN_IDLE:
      case BurnStatus::BURN_DOWNLOAD_FAILED:
      case BurnStatus::BURN_VERIFY_FAILED:
      case BurnStatus::BURN_COMPARED_OK:
      case BurnStatus::BURN_SUCCESS:
        framework.ProgressSetRange(m_progressId, 0, 1);
        break;
      case BurnStatus::BURN_DOWNLOADING:
      case BurnStatus::BURN_VERIFYING:
      case BurnStatus::BURN_COMPARING:
        framework.ProgressSetRange(m_progressId, 0, rangeMax);
        break;
      default:  // BURN_COMPARE_FAILED, and values that are no status: no range change
        break;
    }
    framework.SetControlText(m_statusId, Utf8ToUtf16(BurnStatusText(status)));
  }

  switch (status) {
    case BurnStatus::BURN_IDLE:
    case BurnStatus::BURN_VERIFY_FAILED:
      framework.ProgressSetPos(m_progressId, 0);
      break;
    case BurnStatus::BURN_DOWNLOADING:
    case BurnStatus::BURN_VERIFYING:
    case BurnStatus::BURN_COMPARING:
      framework.ProgressSetPos(m_progressId,
                               static_cast<int>(std::clamp<long>(count, INT_MIN, INT_MAX)));
      break;
    case BurnStatus::BURN_SUCCESS:
    case BurnStatus::BURN_COMPARED_OK:
      framework.ProgressSetPos(m_progressId, 1);
      break;
    default:
      break;
  }
  return changed;
}

}  // namespace tessarin
