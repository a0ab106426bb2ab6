#include "burn/burn_status.h"

namespace tessarin {

const char* BurnStatusText(BurnStatus status) {
  switch (status) {
    case BurnStatus::BURN_IDLE:
      return "Idle";
    case BurnStatus::BURN_DOWNLOADING:
      return "Downloading...";
    case BurnStatus::BURN_DOWNLOAD_FAILED:
      return "Downloading failed";
    case BurnStatus::BURN_VERIFYING:
      return "Verifying...";
    case BurnStatus::BURN_VERIFY_FAILED:
      return "Verifying failed";
    case BurnStatus::BURN_SUCCESS:
      return "Successed";
    case BurnStatus::BURN_COMPARING:
      return "Comparing...";
    case BurnStatus::BURN_COMPARED_OK:
      return "Compared OK";
    case BurnStatus::BURN_COMPARE_FAILED:
      return "Comparision failed";
    default:
      return "";
  }
}

}  // namespace tessarin
