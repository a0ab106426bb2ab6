// The window program's stop requests, handed to a callback on a thread of
// the watch's own.
#include "app/stop_request_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/test_os.h"

namespace tessarin {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::atomic<int>& calls, int wanted) {
  for (int i = 0; i < 3000 && calls.load() < wanted; ++i) std::this_thread::sleep_for(10ms);
  return calls.load() >= wanted;
}

TEST(StopRequestWatch, CallsOnceForEachRequestOnItsOwnThread) {
  struct Case {
    const char* name;
    StopEvent event;
    int times;
  };
  // Where the system has no such request (SIGTERM on Windows, the console
  // events on Linux) the case is passed over.
  const Case cases[] = {
      {"one interrupt", StopEvent::kInterrupt, 1},
      {"three terminates in a row", StopEvent::kTerminate, 3},
      {"a hang-up", StopEvent::kHangUp, 1},
      {"two breaks", StopEvent::kBreak, 2},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> calls{0};
    std::atomic<bool> onOtherThread{true};
    const std::thread::id self = std::this_thread::get_id();
    {
      StopRequestWatch watch([&] {
        if (std::this_thread::get_id() == self) onOtherThread = false;
        calls.fetch_add(1);
      });
      bool delivered = true;
      for (int i = 0; i < c.times && delivered; ++i) {
        auto handled = DeliverStopEvent(c.event);
        delivered = handled.has_value();
        if (delivered) handled->wait();
      }
      if (!delivered) continue;
      ++run;
      EXPECT_TRUE(WaitFor(calls, c.times));
      // None is called twice.
      std::this_thread::sleep_for(2 * StopRequestWatch::kPoll);
      EXPECT_EQ(calls.load(), c.times);
    }
    EXPECT_TRUE(onOtherThread.load());
  }
  EXPECT_GE(run, 1);
}

TEST(StopRequestWatch, EndsWithinItsPollWhenNothingCame) {
  std::atomic<int> calls{0};
  const auto start = std::chrono::steady_clock::now();
  {
    StopRequestWatch watch([&] { calls.fetch_add(1); });
  }
  // A hang guard, far above kPoll, not a speed check.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
}  // namespace tessarin
