#include "burn/burn_status.h"

namespace tessarin {

const char* BurnStatusText(unsigned code) {
  switch (code) {
    case BURN_IDLE:
      return "Idle";
    case BURN_DOWNLOADING:
      return "Downloading...";
    case BURN_DOWNLOAD_FAILED:
      return "Downloading failed";
    case BURN_VERIFYING:
      return "Verifying...";
    case BURN_VERIFY_FAILED:
      return "Verifying failed";
    case BURN_SUCCESS:
      return "Successed";
    case BURN_COMPARING:
      return "Comparing...";
    case BURN_COMPARED_OK:
      return "Compared OK";
    case BURN_COMPARE_FAILED:
      return "Comparision failed";
    default:
      return "";
  }
}

}  // namespace tessarin
