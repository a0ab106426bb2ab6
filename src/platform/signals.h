// The requests to stop a program (Ctrl+C and what the system sends like it),
// turned into what a burn or the station looks at instead of the program
// ending at once.
#pragma once

#include <atomic>
#include <chrono>

namespace tessarin {

/// How long the system's handler holds the program after a request that the
/// system follows by ending the program itself (Windows: the console window
/// closed, log-off, shutdown), so that its stop finishes first: under the
/// 5 s Windows gives after a console close.
inline constexpr std::chrono::milliseconds kStopEndingGrace{4500};

/// While it lives, the requests to stop the program set `flag` to true instead
/// of ending it, so a burn stops at its next block with the device's first byte
/// still 0xFF. The requests: on Linux SIGINT (Ctrl+C), SIGTERM and SIGHUP; on
/// Windows Ctrl+C, Ctrl+Break, closing the console window, log-off and
/// shutdown. After the last three Windows ends the program itself once the
/// handler returns; the handler holds it for `endingGrace`, or until it ends
/// on its own first. The previous handling comes back when it goes. One
/// StopSignalGuard or StopRequests at a time.
class StopSignalGuard {
  // The handler stores into the flag: only a lock-free atomic may be used there.
  static_assert(std::atomic<bool>::is_always_lock_free);

 public:
  explicit StopSignalGuard(std::atomic<bool>& flag,
                           std::chrono::milliseconds endingGrace = kStopEndingGrace);
  ~StopSignalGuard();
  StopSignalGuard(const StopSignalGuard&) = delete;
  StopSignalGuard& operator=(const StopSignalGuard&) = delete;
};

/// While it lives, the requests to stop the program (the same as for
/// StopSignalGuard) are counted instead of ending it, for a program that runs
/// until it is told to stop (the station). It reads Count(), or a thread of
/// its own waits for the next request with WaitForMore(); the convention is
/// that the first request stops taking new work and the second stops the
/// work running. EndingSoon() says the program is about to be ended (Linux:
/// SIGTERM or SIGHUP; Windows: console closed, log-off, shutdown): then
/// everything stops at once, as after a second request, and the program calls
/// Stopped() when its records are written; until then, for at most
/// `endingGrace`, the system's handler holds the program (Windows; on Linux
/// nothing holds it, and whoever sent the signal waits as long as it will).
/// On Windows it also keeps a hidden window on a thread of its own, since
/// Windows tells a program that uses windows of log-off and shutdown only
/// through them. The previous handling comes back
/// when it goes (a console handler holding the program keeps holding it: the
/// program ends on its own, or calls Stopped() first; a log-off or shutdown
/// the window is holding is waited for). One StopSignalGuard or StopRequests
/// at a time, made and destroyed on one thread.
class StopRequests {
 public:
  explicit StopRequests(std::chrono::milliseconds endingGrace = kStopEndingGrace);
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  /// The requests since it was made. Any thread.
  int Count() const;

  /// True once a request came after which the program is ended soon: on
  /// Windows the system ends it itself (console closed, log-off, shutdown); on
  /// Linux SIGTERM (a shutdown, a log-out or a service manager's stop, each
  /// followed by SIGKILL after a few seconds) and SIGHUP (its terminal is
  /// gone, and nobody sees it any more). Ctrl+C and Ctrl+Break never set it.
  /// Any thread.
  bool EndingSoon() const;

  /// Waits until Count() is above `seen` or `timeout` passes, and returns
  /// Count(). Any thread, several at once; never from a signal handler.
  int WaitForMore(int seen, std::chrono::milliseconds timeout) const;

  /// Says the program has stopped: a handler holding the program for the
  /// system returns now, after which Windows ends the process, so call it
  /// only when nothing is left to write. No effect where no handler holds it.
  /// Any thread.
  void Stopped();
};

/// A write to a closed pipe fails with an error (EPIPE) instead of killing the
/// program, so a burn whose output went away still ends cleanly. No-op where
/// the system has no such signal.
void IgnoreBrokenPipe();

}  // namespace tessarin
