// The window program's stop requests (Ctrl+C in the terminal it was started
// from, SIGTERM and SIGHUP at log-out), handed to its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/signals.h"

namespace tessarin {

/// While it lives, the requests to stop the program (those of StopRequests)
/// do not end it: `onRequest` is called once for each, on a thread of its
/// own, never in a signal handler. It must only hand the request over (post
/// it to the user-interface thread) and return. One at a time, as
/// StopRequests; made and destroyed on one thread.
class StopRequestWatch {
 public:
  explicit StopRequestWatch(std::function<void()> onRequest);
  /// Stops watching (within kPoll) and gives the requests their previous
  /// handling back; `onRequest` is not called any more once it returned.
  ~StopRequestWatch();
  StopRequestWatch(const StopRequestWatch&) = delete;
  StopRequestWatch& operator=(const StopRequestWatch&) = delete;

  /// How often the watching thread looks whether it is to end.
  static constexpr std::chrono::milliseconds kPoll{100};

 private:
  void Run();

  StopRequests m_requests;
  std::function<void()> m_onRequest;
  std::atomic<bool> m_done{false};
  std::thread m_thread;  // last: started once the rest exists
};

}  // namespace tessarin
