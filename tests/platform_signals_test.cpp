#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/signals.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

using namespace std::chrono_literals;

struct EventCase {
  const char* name;
  StopEvent event;
  bool ending;  // the program is ended soon after it
  bool held;    // the system ends it when the handler returns: the handler holds it
};

constexpr EventCase kEvents[] = {
    {"interrupt", StopEvent::kInterrupt, false, false},
    {"terminate", StopEvent::kTerminate, true, false},
    {"hang-up", StopEvent::kHangUp, true, false},
    {"break", StopEvent::kBreak, false, false},
    {"console closed", StopEvent::kConsoleClosed, true, true},
    {"log-off", StopEvent::kLogOff, true, true},
    {"shutdown", StopEvent::kShutdown, true, true},
    {"session end", StopEvent::kEndSession, true, true},
};

// Every request the system has is counted, once each, instead of ending the
// program; SIGTERM, SIGHUP, a console close, log-off or shutdown say that the
// program is ended soon, and after the last three the handler holds the
// program until it says it has stopped.
TEST(StopRequests, CountsEachRequestTheSystemSends) {
  int delivered = 0;
  for (const EventCase& c : kEvents) {
    SCOPED_TRACE(c.name);
    StopRequests requests(60s);
    EXPECT_EQ(requests.Count(), 0);
    auto handled = DeliverStopEvent(c.event);
    if (!handled) continue;
    ++delivered;
    EXPECT_EQ(requests.WaitForMore(0, 30s), 1);
    EXPECT_EQ(requests.EndingSoon(), c.ending);
    if (c.held) {
      EXPECT_EQ(handled->wait_for(100ms), std::future_status::timeout)
          << "the handler returned before the program stopped: Windows would end it now";
      requests.Stopped();
    }
    ASSERT_EQ(handled->wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(handled->get());
    auto again = DeliverStopEvent(c.event);
    ASSERT_TRUE(again);
    EXPECT_EQ(requests.WaitForMore(1, 30s), 2) << "a second request counts again";
    again->wait();
  }
  // Linux: SIGINT, SIGTERM, SIGHUP; Windows: the five console events and the
  // session end to the window.
  EXPECT_EQ(delivered, IsPosixSystem() ? 3 : 6);
}

TEST(StopRequests, EndingHandlerLetsTheProgramGoAfterTheGrace) {
  const StopEvent ending[] = {StopEvent::kConsoleClosed, StopEvent::kLogOff, StopEvent::kShutdown,
                              StopEvent::kEndSession};
  for (const StopEvent event : ending) {
    StopRequests requests(200ms);
    auto handled = DeliverStopEvent(event);
    if (!handled) GTEST_SKIP() << "this system sends no request it ends the program after";
    // Without Stopped(), the bounded wait ends the hold.
    ASSERT_EQ(handled->wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(handled->get());
    EXPECT_TRUE(requests.EndingSoon());
  }
}

TEST(StopRequests, WaitEndsAtItsTimeoutWithoutARequest) {
  StopRequests requests;
  EXPECT_EQ(requests.WaitForMore(0, 30ms), 0);
  auto handled = DeliverStopEvent(StopEvent::kInterrupt);
  ASSERT_TRUE(handled);
  handled->wait();
  EXPECT_EQ(requests.WaitForMore(0, 30s), 1) << "a request already there ends the wait at once";
  EXPECT_EQ(requests.WaitForMore(1, 30ms), 1) << "one already seen does not";
}

// Several threads wait at once, for different counts: each wakes when the
// count passes what it has seen, none sleeps through its request.
TEST(StopRequests, WakesEveryWaiter) {
  StopRequests requests;
  std::vector<std::future<int>> firsts;
  std::vector<std::future<int>> seconds;
  for (int i = 0; i < 3; ++i) {
    firsts.push_back(std::async(std::launch::async, [&] { return requests.WaitForMore(0, 60s); }));
    seconds.push_back(std::async(std::launch::async, [&] { return requests.WaitForMore(1, 60s); }));
  }
  auto handled = DeliverStopEvent(StopEvent::kInterrupt);
  ASSERT_TRUE(handled);
  handled->wait();
  for (auto& f : firsts) EXPECT_EQ(f.get(), 1);
  handled = DeliverStopEvent(StopEvent::kInterrupt);
  handled->wait();
  for (auto& f : seconds) EXPECT_EQ(f.get(), 2);
}

// The burn's guard: each request sets its flag, as before the counting.
TEST(StopSignalGuard, SetsTheFlagOnEachRequest) {
  for (const EventCase& c : kEvents) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> flag{false};
    StopSignalGuard guard(flag, 50ms);
    auto handled = DeliverStopEvent(c.event);
    if (!handled) continue;
    ASSERT_EQ(handled->wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(handled->get());
    EXPECT_TRUE(flag.load());
  }
}

class StopChild : public ::testing::Test {
 protected:
  std::string Output() const {
    std::ifstream in(m_dir.path() / "out");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool WaitForOutput(const std::string& line) const {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (Output().find(line + "\n") == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  testing::ScratchDir m_dir;
};

// The system's own means of asking another program to stop reach the
// child's StopRequests: each is counted, and the child lives on to say so.
TEST_F(StopChild, ChildCountsTheRequestsTheSystemSendsIt) {
  const struct {
    StopEvent event;
    int times;
  } cases[] = {
      {StopEvent::kInterrupt, 1}, {StopEvent::kTerminate, 1}, {StopEvent::kHangUp, 1},
      {StopEvent::kTerminate, 2}, {StopEvent::kBreak, 1},     {StopEvent::kBreak, 2},
  };
  int sent = 0;
  std::string refusal;
  for (const auto& c : cases) {
    SCOPED_TRACE("event " + std::to_string(static_cast<int>(c.event)) + " x" +
                 std::to_string(c.times));
    std::string error;
    const long pid =
        StartProgram(TESSARIN_PLATFORM_CHILD_PATH, {"stop-requests", std::to_string(c.times)},
                     m_dir.path() / "out", m_dir.path() / "err", &error);
    ASSERT_GT(pid, 0) << error;
    ASSERT_TRUE(WaitForOutput("ready")) << Output();
    bool sendable = true;
    for (int i = 1; i <= c.times && sendable; ++i) {
      sendable = SendStopEvent(pid, c.event, &error);
      // The next one only once this one was counted: signals do not queue.
      if (sendable) {
        ASSERT_TRUE(WaitForOutput("count " + std::to_string(i))) << Output();
      }
    }
    if (!sendable) {
      refusal = error;
      KillProgram(pid);
      continue;
    }
    ++sent;
    EXPECT_EQ(WaitProgram(pid, 60s), 0) << Output();
  }
  if (sent == 0) GTEST_SKIP() << "this system could send none of them: " << refusal;
}

}  // namespace
}  // namespace tessarin
