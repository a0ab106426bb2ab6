// Stop requests on POSIX: SIGINT, SIGTERM and SIGHUP, counted by a handler
// that wakes waiters through a pipe.
#include "platform/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tessarin {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// Set before the handlers are installed and cleared after they are removed;
// the handler only reads them. Lock-free atomics are safe in a handler.
std::atomic<std::atomic<bool>*> g_stopFlag{nullptr};
std::atomic<int> g_requests{0};
// Set by SIGTERM and SIGHUP: the program is about to be ended.
std::atomic<bool> g_ending{false};
struct sigaction g_previous[kStopSignalCount];

// The pipe the handler writes a byte to after counting, to wake WaitForMore.
// Made once and never closed: a handler still running on another thread as
// the last guard goes may write to it, and a closed descriptor's number could
// by then name another file.
std::atomic<int> g_wakeWrite{-1};
int g_wakeRead = -1;

// One waiter at a time polls and drains the pipe and then wakes the others,
// who look at the count again; they wait for that on a condition variable.
std::mutex g_waitLock;
std::condition_variable g_waitDone;
bool g_polling = false;  // under g_waitLock

void OnStopSignal(int signal) {
  const int savedErrno = errno;
  // Before the count: whoever sees the new count also sees why.
  if (signal != SIGINT) g_ending.store(true);
  g_requests.fetch_add(1);
  if (std::atomic<bool>* flag = g_stopFlag.load()) flag->store(true);
  const int wake = g_wakeWrite.load();
  if (wake >= 0) {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = ::write(wake, &byte, 1);
  }
  errno = savedErrno;
}

void MakeWakePipe() {
  static const bool made = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_wakeRead = fds[0];
    g_wakeWrite.store(fds[1]);
    return true;
  }();
  (void)made;
}

void DrainWakePipe() {
  char bytes[64];
  while (::read(g_wakeRead, bytes, sizeof bytes) > 0) {
  }
}

void InstallStopHandler(std::atomic<bool>* flag) {
  g_requests.store(0);
  g_ending.store(false);
  g_stopFlag.store(flag);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kStopSignalCount; ++i) {
    sigaction(kStopSignals[i], &action, &g_previous[i]);
  }
}

void RemoveStopHandler() {
  for (std::size_t i = 0; i < kStopSignalCount; ++i) {
    sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
  g_stopFlag.store(nullptr);
}

}  // namespace

// The system never ends the program after these signals: no grace to keep.
StopSignalGuard::StopSignalGuard(std::atomic<bool>& flag, std::chrono::milliseconds) {
  InstallStopHandler(&flag);
}

StopSignalGuard::~StopSignalGuard() { RemoveStopHandler(); }

StopRequests::StopRequests(std::chrono::milliseconds) {
  MakeWakePipe();
  // Wake-ups left from an earlier guard.
  if (g_wakeRead >= 0) DrainWakePipe();
  InstallStopHandler(nullptr);
}

StopRequests::~StopRequests() { RemoveStopHandler(); }

int StopRequests::Count() const { return g_requests.load(); }

bool StopRequests::EndingSoon() const { return g_ending.load(); }

int StopRequests::WaitForMore(int seen, std::chrono::milliseconds timeout) const {
  using std::chrono::steady_clock;
  const steady_clock::time_point deadline = steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(g_waitLock);
  for (;;) {
    // Counted before the byte is written: a count missed here wakes the poll.
    const int count = g_requests.load();
    if (count > seen) return count;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) return count;
    if (g_polling) {
      g_waitDone.wait_until(lock, deadline);
      continue;
    }
    g_polling = true;
    lock.unlock();
    const int wait = static_cast<int>(std::min<long long>(left, INT_MAX));
    if (g_wakeRead >= 0) {
      struct pollfd wake {};
      wake.fd = g_wakeRead;
      wake.events = POLLIN;
      // EINTR (the signal came to this thread) just looks again.
      if (::poll(&wake, 1, wait) > 0) DrainWakePipe();
    } else {
      // No pipe could be made: look again now and then.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 20)));
    }
    lock.lock();
    g_polling = false;
    g_waitDone.notify_all();
  }
}

void StopRequests::Stopped() {}

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace tessarin
