#include "app/stop_request_watch.h"

#include <utility>

namespace tessarin {

StopRequestWatch::StopRequestWatch(std::function<void()> onRequest)
    : m_onRequest(std::move(onRequest)), m_thread([this] { Run(); }) {}

StopRequestWatch::~StopRequestWatch() {
  m_done.store(true);
  m_thread.join();
}

void StopRequestWatch::Run() {
  int seen = 0;
  while (!m_done.load()) {
    const int count = m_requests.WaitForMore(seen, kPoll);
    // Several requests between two looks are as many calls.
    for (; seen < count; ++seen) {
      if (m_onRequest) m_onRequest();
    }
  }
}

}  // namespace tessarin
