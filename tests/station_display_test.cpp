// How the station shows its slots: the terminal's lines fitted to the width,
// the pipe's one line per event, and the JSON lines, all read from the board.
#include "cli/station_display.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace tessarin {
namespace {

TEST(StationDisplay, SlotLinesKeepSerialAndTimeWhateverTheWidth) {
  struct Case {
    std::string state;
    long count, total;
    int columns;
    const char* expected;
  };
  const Case cases[] = {
      {"Downloading...", 16384, 32768, 80,
       "port-1     Downloading...    50% [##########..........]  KS-000001  01:05"},
      // Too narrow for the bar: it goes, the figures stay.
      {"Downloading...", 9831, 32768, 60, "port-1     Downloading...    30%  KS-000001  01:05"},
      {"Downloading...", 32768, 32768, 74,
       "port-1     Downloading...   100% [####################]  KS-000001  01:05"},
      {"Downloading...", 32768, 32768, 73, "port-1     Downloading...   100%  KS-000001  01:05"},
      {"Verifying...", 9831, 32768, 40, "port-1     Verif  30%  KS-000001  01:05"},
      {"PASS Successed", 0, 0, 80, "port-1     PASS Successed  KS-000001  01:05"},
      // A long refusal is cut; the serial and the time stay on the line.
      {"REFUSED " + std::string(100, 'x'), 0, 0, 40, "port-1     REFUSED xx  KS-000001  01:05"},
  };
  for (const Case& c : cases) {
    const std::string line =
        FormatSlotLine("port-1", c.state, c.count, c.total, "KS-000001", 65.2, c.columns);
    EXPECT_EQ(line, c.expected);
    EXPECT_LE(static_cast<int>(line.size()), c.columns - 1);
  }
  StationSummary summary;
  summary.m_passed = 3;
  summary.m_failed = 1;
  summary.m_refused = 2;
  summary.m_seconds = 120;
  EXPECT_EQ(FormatSummaryLine(summary),
            "passed 3  failed 1  stopped 0  refused 2  120.0 units/h  02:00");
  // Stopped units got no result: they do not count as work done.
  summary.m_stopped = 3;
  EXPECT_EQ(FormatSummaryLine(summary),
            "passed 3  failed 1  stopped 3  refused 2  120.0 units/h  02:00");
  summary = StationSummary{};
  summary.m_stopped = 3;
  summary.m_seconds = 1.3;
  EXPECT_EQ(summary.UnitsPerHour(), 0.0);
}

TEST(StationDisplay, APipeGetsOneLinePerEventAndOneStatusPerStage) {
  std::ostringstream out;
  SlotBoard board;
  auto display = CreateStationDisplay(ProgressStyle::kLines, out, 80, board);
  board.AddWatcher(*display);
  StationEvent e;
  e.m_port = "p1";
  e.m_kind = StationEventKind::kStarted;
  e.m_serial = "S1";
  board.OnEvent(e);
  e.m_kind = StationEventKind::kStatus;
  e.m_text = "Downloading...";
  e.m_code = 1;
  for (long count : {0, 60, 120}) {
    e.m_count = count;
    board.OnEvent(e);
  }
  e.m_kind = StationEventKind::kFinished;
  e.m_outcome = UnitOutcome::kPassed;
  e.m_text = "Successed";
  e.m_version = "1.0";
  e.m_cur = "1";
  e.m_seconds = 1.5;
  board.OnEvent(e);
  EXPECT_EQ(out.str(),
            "p1: burning serial S1\np1: Downloading...\n"
            "p1: PASS S1 Successed, 1.5 s, device version 1.0, Cur 1\n");
}

/// The events of one passed unit on hub-1 and one refused on hub-2, and the end.
std::vector<StationEvent> OneRun() {
  std::vector<StationEvent> events;
  const auto add = [&](StationEventKind kind, const std::string& port) -> StationEvent& {
    events.emplace_back();
    events.back().m_kind = kind;
    events.back().m_port = port;
    return events.back();
  };
  StationEvent& arrived = add(StationEventKind::kArrived, "hub-1");
  arrived.m_path = "/dev/hidraw3";
  arrived.m_device = "0495:8041";
  StationEvent& refused = add(StationEventKind::kRefused, "hub-2");
  refused.m_path = "/dev/hidraw4";
  refused.m_device = "1234:8041";
  refused.m_text = "Not Kestrova Device (1234:8041)";
  refused.m_seconds = 0.25;
  StationEvent& started = add(StationEventKind::kStarted, "hub-1");
  started.m_path = "/dev/hidraw3";
  started.m_device = "0495:8041";
  started.m_serial = "S1";
  StationEvent& status = add(StationEventKind::kStatus, "hub-1");
  status.m_serial = "S1";
  status.m_code = 1;
  status.m_text = "Downloading...";
  status.m_count = 300;
  status.m_total = 600;
  StationEvent& idle = add(StationEventKind::kStatus, "hub-1");
  idle.m_serial = "S1";
  idle.m_text = "Idle";
  StationEvent& finished = add(StationEventKind::kFinished, "hub-1");
  finished.m_device = "0495:8041";
  finished.m_serial = "S1";
  finished.m_outcome = UnitOutcome::kPassed;
  finished.m_code = 6;
  finished.m_text = "Successed";
  finished.m_version = "2.5";
  finished.m_cur = "7";
  finished.m_seconds = 1.5;
  StationEvent& left = add(StationEventKind::kLeft, "hub-2");
  left.m_path = "/dev/hidraw4";
  add(StationEventKind::kNotice, "").m_text = "stopping";
  StationEvent& summary = add(StationEventKind::kSummary, "");
  summary.m_summary.m_passed = 1;
  summary.m_summary.m_refused = 1;
  summary.m_summary.m_seconds = 3.6;
  return events;
}

std::string Show(ProgressStyle style) {
  std::ostringstream out;
  SlotBoard board;
  auto display = CreateStationDisplay(style, out, 80, board);
  board.AddWatcher(*display);
  for (const StationEvent& e : OneRun()) board.OnEvent(e);
  return out.str();
}

TEST(StationDisplay, JsonLinesCarryEachEventsFields) {
  const char* expected[] = {
      R"j({"device":"0495:8041","event":"arrived","path":"/dev/hidraw3","port":"hub-1"})j",
      R"j({"device":"1234:8041","elapsedMs":250,"event":"refused","message":"Not Kestrova Device (1234:8041)","path":"/dev/hidraw4","port":"hub-2"})j",
      R"j({"device":"0495:8041","event":"started","port":"hub-1","serial":"S1"})j",
      R"j({"code":1,"count":300,"event":"status","port":"hub-1","serial":"S1","text":"Downloading...","total":600})j",
      R"j({"code":0,"event":"status","port":"hub-1","serial":"S1","text":"Idle"})j",
      R"j({"cur":"7","device":"0495:8041","elapsedMs":1500,"event":"finished","ok":true,"port":"hub-1","result":"passed","serial":"S1","status":6,"text":"Successed","version":"2.5"})j",
      R"j({"event":"left","path":"/dev/hidraw4","port":"hub-2"})j",
      R"j({"event":"notice","text":"stopping"})j",
      R"j({"elapsedMs":3600,"event":"summary","failed":0,"passed":1,"refused":1,"stopped":0,"unitsPerHour":1000.0})j",
  };
  std::istringstream lines(Show(ProgressStyle::kJson));
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line); ++n) {
    ASSERT_LT(n, std::size(expected)) << line;
    EXPECT_EQ(line, expected[n]);
  }
  EXPECT_EQ(n, std::size(expected));
}

TEST(StationDisplay, ATerminalEndsWithEverySlotAndTheSummary) {
  const std::string shown = Show(ProgressStyle::kBar);
  // The last block: no cursor movement after it, one line per port.
  const std::string last =
      "\rhub-1      PASS Successed  S1  00:01\x1b[K\n"
      "\rhub-2      free  00:00\x1b[K\n"
      "\rpassed 1  failed 0  stopped 0  refused 1  1000.0 units/h  00:03\x1b[K\n";
  ASSERT_GE(shown.size(), last.size());
  EXPECT_EQ(shown.substr(shown.size() - last.size()), last) << shown;
  EXPECT_NE(shown.find("stopping\x1b[K\n"), std::string::npos);
  EXPECT_NE(shown.find("hub-2      REFUSED Not Kestrova Device (1234:8041)  00:00"),
            std::string::npos)
      << shown;
}

}  // namespace
}  // namespace tessarin
