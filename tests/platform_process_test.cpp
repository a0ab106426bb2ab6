#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>

#include "platform/process.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

TEST(Process, ThisProcessIsAliveWithItsStartTimeOnly) {
  const std::int64_t self = ProcessId();
  const std::optional<std::int64_t> start = ProcessStartTime(self);
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(ProcessStartTime(self), start) << "the start time of one process never changes";
  EXPECT_TRUE(ProcessRunning(self));
  EXPECT_TRUE(ProcessAlive(self, *start));
  // The id given again to a later process: another start time.
  for (const std::int64_t other : {*start + 1, *start - 1, *start + 10000000, std::int64_t{0}}) {
    EXPECT_FALSE(ProcessAlive(self, other)) << other;
  }
}

TEST(Process, IdsThatNameNoProcess) {
  const std::int64_t self = ProcessId();
  const std::int64_t start = ProcessStartTime(self).value_or(0);
  // The last two are this process's id cut to 32 bits: never mistaken for it.
  const std::int64_t ids[] = {0,
                              -1,
                              -self,
                              std::numeric_limits<std::int64_t>::min(),
                              (std::int64_t{1} << 32) + self,
                              (std::int64_t{1} << 40) + self};
  for (const std::int64_t id : ids) {
    EXPECT_FALSE(ProcessRunning(id)) << id;
    EXPECT_FALSE(ProcessStartTime(id).has_value()) << id;
    EXPECT_FALSE(ProcessAlive(id, start)) << id;
  }
}

class ProcessChild : public ::testing::Test {
 protected:
  long Start(const std::string& ms) {
    std::string error;
    const long pid = StartProgram(TESSARIN_PLATFORM_CHILD_PATH, {"sleep", ms}, m_dir.path() / "out",
                                  m_dir.path() / "err", &error);
    EXPECT_GT(pid, 0) << error;
    return pid;
  }
  testing::ScratchDir m_dir;
};

// A child that ended, by itself or killed, is not alive: also while it is
// not yet reaped (Linux) or its handle is still held (Windows), and its id
// no longer has a start time.
TEST_F(ProcessChild, ChildThatEndedIsNotAlive) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "ended by itself");
    const long pid = Start(killed ? "60000" : "300");
    ASSERT_GT(pid, 0);
    const std::optional<std::int64_t> start = ProcessStartTime(pid);
    ASSERT_TRUE(start.has_value());
    EXPECT_TRUE(ProcessAlive(pid, *start));
    EXPECT_FALSE(ProcessAlive(pid, *start + 1));
    if (killed) {
      KillProgram(pid);
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (ProcessAlive(pid, *start) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      EXPECT_FALSE(ProcessAlive(pid, *start)) << "ended but not yet waited for";
      EXPECT_FALSE(ProcessRunning(pid));
      EXPECT_FALSE(ProcessStartTime(pid).has_value());
      EXPECT_EQ(WaitProgram(pid), 0);
    }
    EXPECT_FALSE(ProcessAlive(pid, *start));
    EXPECT_FALSE(ProcessStartTime(pid).has_value());
  }
}

}  // namespace
}  // namespace tessarin
