// The slot board: what each slot shows after each of the station's events,
// its counters, and readers on other threads while events come in.
#include "station/slot_board.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "burn/burn_status.h"
#include "record_store_conformance.h"

namespace tessarin {
namespace {

StationEvent Event(StationEventKind kind, const std::string& port = "hub-1") {
  StationEvent e;
  e.m_kind = kind;
  e.m_port = port;
  return e;
}

inline void PrintTo(SlotState state, std::ostream* out) {
  static const char* const kNames[] = {"free",   "arrived", "burning", "store unavailable",
                                       "passed", "failed",  "stopped", "refused"};
  *out << kNames[static_cast<int>(state)];
}

TEST(SlotBoard, EachEventLeavesTheSlotAsItsViewsShowIt) {
  StationEvent arrived = Event(StationEventKind::kArrived);
  arrived.m_path = "/dev/hidraw3";
  arrived.m_device = "0495:8041";
  StationEvent started = Event(StationEventKind::kStarted);
  started.m_serial = "KS-000001";
  StationEvent downloading = Event(StationEventKind::kStatus);
  downloading.m_serial = "KS-000001";
  downloading.m_code = BurnStatusCode(BurnStatus::BURN_DOWNLOADING);
  downloading.m_text = "Downloading...";
  downloading.m_count = 12000;
  downloading.m_total = 30000;
  StationEvent passed = Event(StationEventKind::kFinished);
  passed.m_serial = "KS-000001";
  passed.m_outcome = UnitOutcome::kPassed;
  passed.m_code = BurnStatusCode(BurnStatus::BURN_SUCCESS);
  passed.m_text = "Successed";
  passed.m_version = "2.5";
  passed.m_cur = "7";
  passed.m_seconds = 4.5;
  StationEvent stopped = passed;
  stopped.m_outcome = UnitOutcome::kStopped;
  stopped.m_text = "unplugged during the burn";
  StationEvent refused = Event(StationEventKind::kRefused);
  refused.m_text = "Not Kestrova Device (1234:8041)";
  refused.m_seconds = 0.2;
  StationEvent left = Event(StationEventKind::kLeft);
  left.m_path = "/dev/hidraw3";
  StationEvent waiting = Event(StationEventKind::kStoreUnavailable);
  waiting.m_text = "store unavailable: the server cannot be reached";

  struct Step {
    const StationEvent* event;
    SlotState state;
    const char* serial;
    long total;
    const char* message;
    double seconds;  // once ended
    int passed, stopped, refused;
  };
  const Step steps[] = {
      {&arrived, SlotState::kArrived, "", 0, "", 0, 0, 0, 0},
      {&started, SlotState::kBurning, "KS-000001", 0, "", 0, 0, 0, 0},
      {&downloading, SlotState::kBurning, "KS-000001", 30000, "", 0, 0, 0, 0},
      {&passed, SlotState::kPassed, "KS-000001", 0, "Successed", 4.5, 1, 0, 0},
      // The result stays until the device leaves; then nothing of it.
      {&left, SlotState::kFree, "", 0, "", 0, 1, 0, 0},
      {&arrived, SlotState::kArrived, "", 0, "", 0, 1, 0, 0},
      {&refused, SlotState::kRefused, "", 0, "Not Kestrova Device (1234:8041)", 0.2, 1, 0, 1},
      {&left, SlotState::kFree, "", 0, "", 0, 1, 0, 1},
      {&arrived, SlotState::kArrived, "", 0, "", 0, 1, 0, 1},
      // A unit that waits for the store says why, until its burn starts.
      {&waiting, SlotState::kStoreUnavailable, "", 0,
       "store unavailable: the server cannot be reached", 0, 1, 0, 1},
      {&started, SlotState::kBurning, "KS-000001", 0, "", 0, 1, 0, 1},
      {&stopped, SlotState::kStopped, "KS-000001", 0, "unplugged during the burn", 4.5, 1, 1, 1},
  };
  SlotBoard board;
  int n = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(++n);
    board.OnEvent(*step.event);
    const auto slot = board.Slot("hub-1");
    ASSERT_TRUE(slot);
    EXPECT_EQ(slot->m_state, step.state);
    EXPECT_EQ(slot->m_serial, step.serial);
    EXPECT_EQ(slot->m_total, step.total);
    EXPECT_EQ(slot->m_message, step.message);
    EXPECT_EQ(slot->m_path, "/dev/hidraw3");
    EXPECT_EQ(slot->m_device, "0495:8041");
    if (!slot->Running()) {
      EXPECT_EQ(slot->SecondsAt({}), step.seconds);
    }
    const SlotBoardSnapshot snapshot = board.Snapshot();
    EXPECT_EQ(snapshot.m_counters.m_passed, step.passed);
    EXPECT_EQ(snapshot.m_counters.m_stopped, step.stopped);
    EXPECT_EQ(snapshot.m_counters.m_refused, step.refused);
  }
  EXPECT_EQ(board.Slot("hub-1")->m_version, "2.5");
  EXPECT_FALSE(board.Slot("hub-2"));

  // The station's own summary is the last word on the counters.
  StationEvent notice = Event(StationEventKind::kNotice, "");
  notice.m_text = "stopping";
  board.OnEvent(notice);
  StationEvent summary = Event(StationEventKind::kSummary, "");
  summary.m_summary.m_passed = 5;
  summary.m_summary.m_seconds = 60;
  board.OnEvent(summary);
  const SlotBoardSnapshot end = board.Snapshot();
  EXPECT_TRUE(end.m_ended);
  EXPECT_EQ(end.m_counters.m_passed, 5);
  EXPECT_EQ(end.m_counters.m_refused, 0);
  EXPECT_EQ(end.m_notice, "stopping");
  ASSERT_EQ(end.m_slots.size(), 1u);  // notices and the summary belong to no port
}

/// Reads the board from inside its OnEvent, as a display does.
class Reader : public StationEvents {
 public:
  explicit Reader(const SlotBoard& board) : m_board(board) {}
  void OnEvent(const StationEvent& e) override {
    if (e.m_kind == StationEventKind::kStatus) m_seen.push_back(m_board.Slot(e.m_port)->m_count);
  }
  std::vector<long> m_seen;

 private:
  const SlotBoard& m_board;
};

TEST(SlotBoard, WatchersSeeTheEventAppliedAndOtherThreadsReadCopies) {
  SlotBoard board;
  Reader reader(board);
  board.AddWatcher(reader);
  std::atomic<bool> done{false};
  std::atomic<long> snapshots{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      do {
        const SlotBoardSnapshot snapshot = board.Snapshot();
        for (const SlotView& slot : snapshot.m_slots) EXPECT_LE(slot.m_count, slot.m_total);
        ++snapshots;
      } while (!done.load());
    });
  }
  const std::vector<std::string> ports = {"p1", "p2", "p3"};
  for (const std::string& port : ports) board.OnEvent(Event(StationEventKind::kArrived, port));
  for (long count = 0; count <= 1000; ++count) {
    StationEvent status = Event(StationEventKind::kStatus, ports[count % 3]);
    status.m_count = count;
    status.m_total = 1000;
    board.OnEvent(status);
  }
  done = true;
  for (std::thread& t : readers) t.join();
  ASSERT_EQ(reader.m_seen.size(), 1001u);
  for (long count = 0; count <= 1000; ++count) EXPECT_EQ(reader.m_seen[count], count);
  EXPECT_GT(snapshots.load(), 0);
  EXPECT_EQ(board.Snapshot().m_slots.size(), 3u);
}

}  // namespace
}  // namespace tessarin
