// The device-change listener slot every backend keeps: the listener set last
// is the one called, and whoever removes or replaces a listener may free what
// it refers to as soon as that returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid_platform.h"

namespace tessarin {
namespace {

TEST(DeviceChangeSlot, CallsTheListenerSetLast) {
  DeviceChangeSlot slot;
  std::vector<std::string> calls;
  slot.Notify();  // none yet: nothing happens
  slot.Set([&](int code) { calls.push_back("a" + std::to_string(code)); });
  slot.Notify();
  slot.Notify(3);
  slot.Set([&](int code) { calls.push_back("b" + std::to_string(code)); });
  slot.Notify();
  slot.Set({});
  slot.Notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"a7", "a3", "b7"}));
}

TEST(DeviceChangeSlot, ReplacingWaitsForACallInProgress) {
  DeviceChangeSlot slot;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callOver{false};
  std::atomic<int> newCalls{0};
  slot.Set([&, released](int) {
    entered.set_value();
    released.wait();
    callOver = true;
  });
  std::thread notifier([&] { slot.Notify(); });
  entered.get_future().wait();

  std::atomic<bool> replaced{false};
  std::thread replacer([&] {
    slot.Set([&](int) { ++newCalls; });
    replaced = true;
    EXPECT_TRUE(callOver.load()) << "returned while the old listener was still running";
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(replaced.load());
  release.set_value();
  replacer.join();
  notifier.join();
  slot.Notify();
  EXPECT_EQ(newCalls.load(), 1);
}

// Two threads notify without pause while listeners come and go: none is ever
// called once the Set() that removed it has returned.
TEST(DeviceChangeSlot, NoCallOfARemovedListener) {
  struct Watch {
    std::atomic<bool> removed{false};
    std::atomic<int> calls{0};
    std::atomic<int> late{0};
  };
  DeviceChangeSlot slot;
  std::atomic<bool> stop{false};
  std::vector<std::thread> notifiers;
  for (int i = 0; i < 2; ++i) {
    notifiers.emplace_back([&] {
      while (!stop.load()) slot.Notify();
    });
  }
  std::vector<std::unique_ptr<Watch>> watches;
  for (int round = 0; round < 20; ++round) {
    watches.push_back(std::make_unique<Watch>());
    Watch* watch = watches.back().get();
    slot.Set([watch](int) {
      if (watch->removed.load()) ++watch->late;
      ++watch->calls;
    });
    while (watch->calls.load() == 0) std::this_thread::yield();
    slot.Set({});
    watch->removed = true;
  }
  stop = true;
  for (std::thread& t : notifiers) t.join();
  for (const auto& watch : watches) EXPECT_EQ(watch->late.load(), 0);
}

TEST(DeviceChangeSlot, AListenerMayReplaceItselfAndRunsToItsEnd) {
  DeviceChangeSlot slot;
  std::vector<std::string> seen;
  // Long enough to live on the heap: a listener freed under its own call
  // would read freed memory here.
  const std::string name(64, 'x');
  slot.Set([&, name](int) {
    slot.Set([&](int) { seen.push_back("next"); });
    seen.push_back(name);
  });
  slot.Notify();
  slot.Notify();
  EXPECT_EQ(seen, (std::vector<std::string>{name, "next"}));
}

}  // namespace
}  // namespace tessarin
