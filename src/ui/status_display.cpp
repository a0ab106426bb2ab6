#include "ui/status_display.h"

#include <algorithm>
#include <climits>

#include "burn/burn_status.h"
#include "image/utf16.h"

namespace tessarin {

bool CStatusDisplay::Show(DialogFramework& framework, unsigned code, long count,
                          std::int32_t rangeMax) {
  const bool changed = !m_lastStatus || *m_lastStatus != code;
  if (changed) {
    m_lastStatus = code;
    framework.ProgressSetPos(m_progressId, 0);
    switch (code) {
      case BURN_IDLE:
      case BURN_DOWNLOAD_FAILED:
      case BURN_VERIFY_FAILED:
      case BURN_COMPARED_OK:
      case BURN_SUCCESS:
        framework.ProgressSetRange(m_progressId, 0, 1);
        break;
      case BURN_DOWNLOADING:
      case BURN_VERIFYING:
      case BURN_COMPARING:
        framework.ProgressSetRange(m_progressId, 0, rangeMax);
        break;
      default:  // 3, 9 and above 9: no range change
        break;
    }
    framework.SetControlText(m_statusId, Utf8ToUtf16(BurnStatusText(code)));
  }

  switch (code) {
    case BURN_IDLE:
    case BURN_VERIFY_FAILED:
      framework.ProgressSetPos(m_progressId, 0);
      break;
    case BURN_DOWNLOADING:
    case BURN_VERIFYING:
    case BURN_COMPARING:
      framework.ProgressSetPos(m_progressId,
                               static_cast<int>(std::clamp<long>(count, INT_MIN, INT_MAX)));
      break;
    case BURN_SUCCESS:
    case BURN_COMPARED_OK:
      framework.ProgressSetPos(m_progressId, 1);
      break;
    default:
      break;
  }
  return changed;
}

}  // namespace tessarin
