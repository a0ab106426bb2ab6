// The status codes a burn reports and their texts.
#pragma once

namespace tessarin {

/// What a burn reports to its front end. The count that goes with a status is
/// the bytes written (1), the next address compared (4, 7), otherwise 0.
enum BurnStatus : unsigned {
  BURN_IDLE = 0,
  BURN_DOWNLOADING = 1,
  BURN_DOWNLOAD_FAILED = 2,
  BURN_VERIFYING = 4,
  BURN_VERIFY_FAILED = 5,
  BURN_SUCCESS = 6,
  BURN_COMPARING = 7,
  BURN_COMPARED_OK = 8,
  BURN_COMPARE_FAILED = 9,
};

/// The status text for a code: "Idle", "Downloading...", "Downloading failed",
/// "Verifying...", "Verifying failed", "Successed", "Comparing...",
/// "Compared OK", "Comparision failed"; "" for 3 and codes above 9. 8-bit
/// ASCII, static storage.
const char* BurnStatusText(unsigned code);

}  // namespace tessarin
