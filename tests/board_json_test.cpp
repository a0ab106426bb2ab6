// The board as one JSON object: each slot's state word, phase and progress,
// the ports in the order an operator counts them, the counters with yield
// and rate, and what the store adds.
#include "board/board_json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "board/board_page.h"

namespace tessarin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Whether the page's table of states gives `word` its symbol and its text
// (`word: [` or `'word': [`): a word it lacks would show as another state.
bool PageReadsState(const std::string& word) {
  const std::string_view page = BoardPageTemplate();
  return page.find(" " + word + ": [") != std::string_view::npos ||
         page.find("'" + word + "': [") != std::string_view::npos;
}

TEST(BoardJson, EachSlotShowsItsStateWordPhaseAndProgress) {
  const Clock::time_point now = Clock::time_point() + 1000s;
  struct Case {
    SlotState state;
    std::string statusText;
    long count, total;
    double seconds;  // of an ended unit
    Clock::duration sinceArrival;
    const char* word;
    const char* phase;
    int progress;
    long elapsedMs;
  };
  const Case cases[] = {
      {SlotState::kFree, "", 0, 0, 0, 0s, "waiting", "", 0, 0},
      {SlotState::kArrived, "", 0, 0, 0, 2s, "arrived", "", 0, 2000},
      // Waiting for the server store to reserve a serial: still running.
      {SlotState::kStoreUnavailable, "", 0, 0, 0, 5s, "store-unavailable", "", 0, 5000},
      {SlotState::kBurning, "Downloading...", 12000, 30000, 0, 3s, "burning", "Downloading...", 40,
       3000},
      // A count past its total shows a full bar, never more.
      {SlotState::kBurning, "Verifying...", 40000, 30000, 0, 3s, "burning", "Verifying...", 100,
       3000},
      {SlotState::kBurning, "Starting", 5, 0, 0, 1s, "burning", "Starting", 0, 1000},
      {SlotState::kPassed, "Successed", 0, 0, 4.5, 9s, "passed", "", 100, 4500},
      // An ended unit keeps its own time, not the time since its arrival.
      {SlotState::kFailed, "Verifying...", 10, 30000, 2.25, 9s, "failed", "", 0, 2250},
      {SlotState::kStopped, "", 0, 0, 1, 9s, "stopped", "", 0, 1000},
      {SlotState::kRefused, "", 0, 0, 0.2, 9s, "refused", "", 0, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    SlotView view;
    view.m_port = "port-1";
    view.m_state = c.state;
    view.m_statusText = c.statusText;
    view.m_count = c.count;
    view.m_total = c.total;
    view.m_seconds = c.seconds;
    view.m_arrived = now - c.sinceArrival;
    view.m_serial = "KS-000001";
    SlotBoardSnapshot snapshot;
    snapshot.m_slots = {view};
    snapshot.m_events = 1;
    const auto state = BoardStateJson(snapshot, {}, nlohmann::ordered_json::object(), now);
    ASSERT_EQ(state["slots"].size(), 1u);
    const auto& slot = state["slots"][0];
    EXPECT_EQ(slot["state"], c.word);
    EXPECT_TRUE(PageReadsState(c.word)) << "the page has no symbol and text for this state";
    EXPECT_EQ(slot["phase"], c.phase);
    EXPECT_EQ(slot["progress"], c.progress);
    EXPECT_EQ(slot["elapsedMs"], c.elapsedMs);
    EXPECT_EQ(slot["serial"], "KS-000001");
    EXPECT_EQ(slot["port"], "port-1");
  }
}

TEST(BoardJson, PortsComeInTheOrderAnOperatorCountsThem) {
  struct Case {
    std::vector<std::string> ports;
    std::vector<std::string> ordered;
  };
  const Case cases[] = {
      {{"port-10", "port-2", "port-1"}, {"port-1", "port-2", "port-10"}},
      {{"1-2.10", "1-2.3", "1-10", "1-2"}, {"1-2", "1-2.3", "1-2.10", "1-10"}},
      {{"port-02", "port-1", "hub"}, {"hub", "port-1", "port-02"}},
      {{"b", "a10", "a9", "a"}, {"a", "a9", "a10", "b"}},
  };
  for (const Case& c : cases) {
    SlotBoardSnapshot snapshot;
    for (const std::string& port : c.ports) {
      SlotView view;
      view.m_port = port;
      snapshot.m_slots.push_back(view);
    }
    const auto state =
        BoardStateJson(snapshot, {}, nlohmann::ordered_json::object(), Clock::time_point());
    std::vector<std::string> shown;
    for (const auto& slot : state["slots"]) shown.push_back(slot["port"]);
    EXPECT_EQ(shown, c.ordered);
  }
  // A strict order: no name is before itself, and equal numbers fall back to text.
  EXPECT_FALSE(PortNameLess("port-1", "port-1"));
  EXPECT_NE(PortNameLess("port-01", "port-1"), PortNameLess("port-1", "port-01"));
}

TEST(BoardJson, CountersGiveYieldRateAndWhatTheStoreAdds) {
  struct Case {
    int passed, failed, stopped, refused;
    bool ended;
    double summarySeconds;
    Clock::duration running;  // since the first event, while running
    nlohmann::ordered_json yield;
    double unitsPerHour;
  };
  const Case cases[] = {
      {0, 0, 0, 0, false, 0, 10s, nullptr, 0},
      // Refusals were never burned: they count in neither yield nor rate.
      {0, 0, 0, 3, false, 0, 10s, nullptr, 0},
      {3, 1, 0, 2, false, 0, 3600s, 0.75, 4},
      // A stopped unit lowers the yield but got no result: not in the rate.
      {1, 0, 1, 0, false, 0, 1800s, 0.5, 2},
      // Once ended, the station's own time gives the rate.
      {6, 0, 0, 0, true, 7200, 1s, 1.0, 3},
  };
  const Clock::time_point started = Clock::time_point() + 100s;
  for (const Case& c : cases) {
    SlotBoardSnapshot snapshot;
    snapshot.m_counters.m_passed = c.passed;
    snapshot.m_counters.m_failed = c.failed;
    snapshot.m_counters.m_stopped = c.stopped;
    snapshot.m_counters.m_refused = c.refused;
    snapshot.m_counters.m_seconds = c.summarySeconds;
    snapshot.m_ended = c.ended;
    snapshot.m_started = started;
    snapshot.m_events = 1;
    const auto state =
        BoardStateJson(snapshot, {}, nlohmann::ordered_json::object(), started + c.running);
    const auto& counters = state["counters"];
    EXPECT_EQ(counters["passed"], c.passed);
    EXPECT_EQ(counters["failed"], c.failed);
    EXPECT_EQ(counters["stopped"], c.stopped);
    EXPECT_EQ(counters["refused"], c.refused);
    EXPECT_EQ(counters["yield"], c.yield) << counters.dump();
    EXPECT_DOUBLE_EQ(counters["unitsPerHour"].get<double>(), c.unitsPerHour) << counters.dump();
    EXPECT_EQ(state["ended"], c.ended);
    EXPECT_TRUE(counters["serialsLeft"].is_null());
    EXPECT_EQ(state["latest"], nlohmann::ordered_json::array());
  }

  // A board before any event has run for no time at all.
  const auto fresh = BoardStateJson({}, {}, nlohmann::ordered_json::object(), started);
  EXPECT_EQ(fresh["elapsedMs"], 0);

  BoardUnits units;
  UnitRecord record;
  record.m_id = 7;
  record.m_serial = "KS-000007";
  record.m_outcome = UnitOutcome::kFailed;
  units.m_latest = {record};
  units.m_serialsLeft = 42;
  BoardInfo info;
  info.m_station = "bench-3";
  info.m_imageFile = "fw.rom";
  info.m_sha256 = std::string(64, 'a');
  const auto state = BoardStateJson({}, info, BoardUnitsJson(units), started);
  EXPECT_EQ(state["counters"]["serialsLeft"], 42);
  ASSERT_EQ(state["latest"].size(), 1u);
  EXPECT_EQ(state["latest"][0], UnitJson(record));
  EXPECT_EQ(state["latest"][0]["result"], "failed");
  EXPECT_EQ(state["station"], "bench-3");
  EXPECT_EQ(state["image"]["file"], "fw.rom");
}

TEST(BoardJson, TextThatIsNotUtf8BecomesReplacementCharacters) {
  SlotView view;
  view.m_port = "port-\xff";
  view.m_message = "Not Kestrova Device (\xc3)";
  view.m_state = SlotState::kRefused;
  SlotBoardSnapshot snapshot;
  snapshot.m_slots = {view};
  const std::string line =
      JsonLine(BoardStateJson(snapshot, {}, nlohmann::ordered_json::object(), {}));
  EXPECT_NE(line.find("port-\xef\xbf\xbd"), std::string::npos) << line;
  EXPECT_TRUE(nlohmann::json::accept(line));
  StationEvent refused;
  refused.m_kind = StationEventKind::kRefused;
  EXPECT_TRUE(nlohmann::json::accept(JsonLine(StationEventJson(refused, view))));
}

}  // namespace
}  // namespace tessarin
