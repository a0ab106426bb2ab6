// What the tests need of the operating system beyond the programs' own
// platform layer: starting the built tools, sending them the system's stop
// requests, FIFOs and the process's time zone.
#pragma once

#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace tessarin {

/// Runs `program` with `args` (UTF-8; passed to the program unchanged,
/// blanks and quotes included), its standard input empty and its standard
/// output and error written to the two files, and waits for it to end.
/// Returns its exit code (128 + the signal number when a signal ended it), or
/// -1 with the reason in *err when it could not be started.
int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
               std::string* err);

/// Starts `program` like RunProgram but does not wait: the id of the child,
/// or -1 with the reason in *err. On Windows the child shares this process's
/// console if it has a window, else gets a console without one.
long StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
                  std::string* err);
/// Waits for a child started by StartProgram; its exit code as RunProgram's.
/// One still running after `limit` is killed: -2.
int WaitProgram(long pid, std::chrono::milliseconds limit = std::chrono::minutes(2));
/// Kills the child at once (SIGKILL; TerminateProcess with 137) and waits for it.
int KillProgram(long pid);

/// The requests to stop a program that the systems send.
enum class StopEvent {
  kInterrupt,      ///< SIGINT; CTRL_C_EVENT
  kTerminate,      ///< SIGTERM (Linux only)
  kHangUp,         ///< SIGHUP (Linux only)
  kBreak,          ///< CTRL_BREAK_EVENT (Windows only)
  kConsoleClosed,  ///< CTRL_CLOSE_EVENT (Windows only)
  kLogOff,         ///< CTRL_LOGOFF_EVENT (Windows only)
  kShutdown,       ///< CTRL_SHUTDOWN_EVENT (Windows only)
  kEndSession,     ///< WM_ENDSESSION for a log-off (Windows only, to StopRequests' window)
};

/// Sends `event` to the child `pid` of StartProgram the way the system
/// delivers it: on Linux the signal; on Windows a console event runs the
/// system's console control routine on a new thread of the child (as the
/// console does for Ctrl+C, Ctrl+Break and a closed console window, and
/// Windows for log-off and shutdown), and kEndSession is WM_QUERYENDSESSION
/// and WM_ENDSESSION sent to the child's session-end window. After a console
/// close, log-off, shutdown or session end it waits until the child's handler
/// returned (30 s at the most) and then ends the child as Windows does
/// (TerminateProcess; the exit code is the child's own when it ended first).
/// False with the reason in *err where the system cannot send it (a signal
/// on Windows, a console event on Linux, a child without a session-end window).
bool SendStopEvent(long pid, StopEvent event, std::string* err);

/// Delivers `event` to this process as the system would: on Linux the signal,
/// sent to the process; on Windows the console handler of the platform layer
/// (HandleConsoleStopEvent) called on a thread of its own with the console
/// event, or WM_ENDSESSION sent to this process's session-end window. The
/// future is ready once the handler or the window returned (at once on
/// Linux), with whether it took the event. Empty where the system has no such
/// event, or no such window.
std::optional<std::future<bool>> DeliverStopEvent(StopEvent event);

/// This process's id, for names of scratch files that must not collide.
unsigned long CurrentProcessId();

/// True on a POSIX system, where /bin/bash, /dev/null and /dev/full mean what
/// they say (under Wine they may exist as names but are not those).
bool IsPosixSystem();

/// Creates a FIFO. False where the system has none.
bool CreateFifo(const std::filesystem::path& path, std::string* err);

/// A pipe whose read end becomes readable when a byte is written: a descriptor
/// to watch, as the Linux backend's device-change descriptor is. POSIX only.
class NotifyPipe {
 public:
  NotifyPipe();
  ~NotifyPipe();
  NotifyPipe(const NotifyPipe&) = delete;
  NotifyPipe& operator=(const NotifyPipe&) = delete;
  /// The read end (non-blocking, close-on-exec); -1 when no pipe could be made.
  int ReadEnd() const { return m_ends[0]; }
  /// Writes one byte. False when it could not be written.
  bool Notify();
  /// Reads every byte written so far without waiting: how many there were.
  int Drain();

 private:
  int m_ends[2] = {-1, -1};
};

/// Switches the process's time zone to a TZ rule such as "CET-1CEST,M3.5.0,M10.5.0/3".
/// False where that cannot be done.
bool SetProcessTimeZone(const std::string& tz);

}  // namespace tessarin
