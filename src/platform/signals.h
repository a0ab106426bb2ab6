// The signals that ask a program to stop, turned into a flag a burn looks at.
#pragma once

#include <atomic>

namespace tessarin {

/// While it lives, the signals that ask the program to stop (Ctrl+C; on Linux
/// also SIGTERM and SIGHUP; on Windows also Ctrl+Break) set `flag` to 1
/// instead of ending the program, so a burn stops at its next block with the
/// device's first byte still 0xFF. The previous handlers come back when it
/// goes. One guard at a time.
class StopSignalGuard {
 public:
  explicit StopSignalGuard(std::atomic<int>& flag);
  ~StopSignalGuard();
  StopSignalGuard(const StopSignalGuard&) = delete;
  StopSignalGuard& operator=(const StopSignalGuard&) = delete;
};

/// A write to a closed pipe fails with an error (EPIPE) instead of killing the
/// program, so a burn whose output went away still ends cleanly. No-op where
/// the system has no such signal.
void IgnoreBrokenPipe();

}  // namespace tessarin
