#include "platform/signals.h"

#include <csignal>

namespace tessarin {
namespace {

using Handler = void (*)(int);
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGBREAK};

std::atomic<int>* g_stopFlag = nullptr;
Handler g_previous[sizeof kStopSignals / sizeof kStopSignals[0]];

void OnStopSignal(int signal) {
  if (g_stopFlag) g_stopFlag->store(1);
  // The C runtime resets the handler to the default before calling it.
  std::signal(signal, OnStopSignal);
}

}  // namespace

StopSignalGuard::StopSignalGuard(std::atomic<int>& flag) {
  g_stopFlag = &flag;
  for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    g_previous[i] = std::signal(kStopSignals[i], OnStopSignal);
  }
}

StopSignalGuard::~StopSignalGuard() {
  for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    std::signal(kStopSignals[i], g_previous[i] == SIG_ERR ? SIG_DFL : g_previous[i]);
  }
  g_stopFlag = nullptr;
}

void IgnoreBrokenPipe() {}

}  // namespace tessarin
