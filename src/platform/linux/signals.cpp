#include "platform/signals.h"

#include <signal.h>

namespace tessarin {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written before the handlers are installed and after they are removed; the
// handler only reads it. A lock-free atomic store is safe in a handler.
std::atomic<int>* g_stopFlag = nullptr;
struct sigaction g_previous[sizeof kStopSignals / sizeof kStopSignals[0]];

void OnStopSignal(int) {
  if (g_stopFlag) g_stopFlag->store(1);
}

}  // namespace

StopSignalGuard::StopSignalGuard(std::atomic<int>& flag) {
  g_stopFlag = &flag;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    sigaction(kStopSignals[i], &action, &g_previous[i]);
  }
}

StopSignalGuard::~StopSignalGuard() {
  for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
  g_stopFlag = nullptr;
}

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace tessarin
