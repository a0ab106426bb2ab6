// The status codes a burn reports and their texts.
#pragma once

namespace tessarin {

/// What a burn reports to its front end. The numbers are the codes the
/// statuses are known by: a window message carries them (WM_BURN_STATUS), the
/// command line's JSON output and the station's records keep them. The count
/// that goes with a status is the bytes written (BURN_DOWNLOADING), the next
/// address compared (BURN_VERIFYING, BURN_COMPARING), otherwise 0.
enum class BurnStatus : unsigned {
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

/// The code of a status, for the places that carry it as a number.
constexpr unsigned BurnStatusCode(BurnStatus status) { return static_cast<unsigned>(status); }

/// The status text: "Idle", "Downloading...", "Downloading failed",
/// "Verifying...", "Verifying failed", "Successed", "Comparing...",
/// "Compared OK", "Comparision failed"; "" for a value that is none of them
/// (3, above 9: a number from outside converted at its boundary). 8-bit ASCII,
/// static storage.
const char* BurnStatusText(BurnStatus status);

}  // namespace tessarin
