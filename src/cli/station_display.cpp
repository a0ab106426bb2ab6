#include "cli/station_display.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "board/board_json.h"
#include "station/port_name.h"

namespace tessarin {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string Clock(double seconds) {
  const long whole = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
  return text;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string ResultWord(SlotState state) {
  if (state == SlotState::kPassed) return "PASS";
  if (state == SlotState::kStopped) return "STOPPED";
  return "FAIL";
}

/// What a terminal's line says of a slot.
std::string StateText(const SlotView& slot) {
  switch (slot.m_state) {
    case SlotState::kFree:
      return "free";
    case SlotState::kArrived:
      return "arrived " + slot.m_device;
    case SlotState::kStoreUnavailable:
      return "store unavailable, waiting";
    case SlotState::kBurning:
      return slot.m_statusText.empty() ? "Downloading..." : slot.m_statusText;
    case SlotState::kRefused:
      return "REFUSED " + slot.m_message;
    case SlotState::kPassed:
    case SlotState::kFailed:
    case SlotState::kStopped:
      break;
  }
  return ResultWord(slot.m_state) + " " + slot.m_message;
}

void Write(std::ostream& out, const nlohmann::json& object) {
  out << JsonLine(object) << '\n';
  out.flush();
}

/// --json: one object per event, with the field names of `burn --json`.
class JsonDisplay : public StationEvents {
 public:
  JsonDisplay(std::ostream& out, const SlotBoard& board) : m_out(out), m_board(board) {}

  void OnEvent(const StationEvent& e) override {
    Write(m_out, StationEventJson(e, EventSlot(e, m_board)));
  }

 private:
  std::ostream& m_out;
  const SlotBoard& m_board;
};

/// A pipe or a log: one line per event; statuses only when the stage changes.
class LineDisplay : public StationEvents {
 public:
  LineDisplay(std::ostream& out, const SlotBoard& board) : m_out(out), m_board(board) {}

  void OnEvent(const StationEvent& e) override {
    if (e.m_kind == StationEventKind::kNotice) {
      m_out << m_board.Snapshot().m_notice << '\n';
    } else if (e.m_kind == StationEventKind::kSummary) {
      m_out << FormatSummaryLine(m_board.Snapshot().m_counters) << '\n';
    } else if (!SlotLine(e.m_kind, m_board.Slot(e.m_port).value_or(SlotView{}))) {
      return;
    }
    m_out.flush();
  }

 private:
  /// Writes the line of an event about a slot; false when it writes none.
  bool SlotLine(StationEventKind kind, const SlotView& s) {
    const std::string port = PortDisplayName(s.m_port);
    switch (kind) {
      case StationEventKind::kArrived:
        m_out << port << ": arrived " << s.m_device
              << (port == s.m_port ? std::string() : " at " + s.m_port) << " (" << s.m_path
              << ")\n";
        break;
      case StationEventKind::kRefused:
        m_out << port << ": REFUSED " << s.m_message << '\n';
        break;
      case StationEventKind::kStoreUnavailable:
        m_out << port << ": store unavailable, waiting to burn (" << s.m_message << ")\n";
        break;
      case StationEventKind::kStarted:
        m_out << port << ": burning"
              << (s.m_serial.empty() ? std::string() : " serial " + s.m_serial) << '\n';
        m_lastCode[s.m_port] = ~0u;
        break;
      case StationEventKind::kStatus:
        if (m_lastCode[s.m_port] == s.m_code) return false;
        m_lastCode[s.m_port] = s.m_code;
        m_out << port << ": " << s.m_statusText << '\n';
        break;
      case StationEventKind::kFinished:
        m_out << port << ": " << ResultWord(s.m_state)
              << (s.m_serial.empty() ? std::string() : " " + s.m_serial) << " " << s.m_message
              << ", " << Seconds(s.m_seconds)
              << (s.m_state == SlotState::kPassed
                      ? ", device version " + s.m_version + ", Cur " + s.m_cur
                      : std::string())
              << '\n';
        break;
      case StationEventKind::kLeft:
        m_out << port << ": unplugged\n";
        break;
      case StationEventKind::kNotice:
      case StationEventKind::kSummary:
        return false;
    }
    return true;
  }

  std::ostream& m_out;
  const SlotBoard& m_board;
  std::map<std::string, unsigned> m_lastCode;  // what was printed last, per port
};

/// A terminal: one line per port, redrawn in place, the summary below them.
class TerminalDisplay : public StationEvents {
 public:
  TerminalDisplay(std::ostream& out, int columns, const SlotBoard& board)
      : m_out(out), m_columns(columns), m_board(board) {}

  void OnEvent(const StationEvent& e) override {
    const auto now = SteadyClock::now();
    if (e.m_kind == StationEventKind::kNotice) {
      Erase();
      m_out << m_board.Snapshot().m_notice << "\x1b[K\n";
      m_drawn = 0;
    } else if (e.m_kind == StationEventKind::kStatus &&
               now - m_lastDraw < std::chrono::milliseconds(100)) {
      return;
    }
    Draw(now);
  }

 private:
  // Back to the first line of the block drawn before.
  void Erase() {
    if (m_drawn > 0) m_out << "\r\x1b[" << m_drawn << 'A';
  }

  void Draw(SteadyClock::time_point now) {
    Erase();
    const SlotBoardSnapshot board = m_board.Snapshot();
    std::vector<std::string> lines;
    for (const SlotView& slot : board.m_slots) {
      lines.push_back(FormatSlotLine(PortDisplayName(slot.m_port), StateText(slot), slot.m_count,
                                     slot.m_state == SlotState::kBurning ? slot.m_total : 0,
                                     slot.m_serial, slot.SecondsAt(now), m_columns));
    }
    StationSummary summary = board.m_counters;
    if (!board.m_ended) {
      summary.m_seconds = std::chrono::duration<double>(now - board.m_started).count();
    }
    lines.push_back(FormatSummaryLine(summary));
    for (const std::string& line : lines) m_out << '\r' << line << "\x1b[K\n";
    m_drawn = board.m_ended ? 0 : static_cast<int>(lines.size());
    m_out.flush();
    m_lastDraw = now;
  }

  std::ostream& m_out;
  int m_columns;
  const SlotBoard& m_board;
  int m_drawn = 0;
  SteadyClock::time_point m_lastDraw;
};

}  // namespace

std::string FormatSlotLine(const std::string& port, const std::string& state, long count,
                           long total, const std::string& serial, double seconds, int columns) {
  char head[96];
  std::snprintf(head, sizeof head, "%-10s ", port.c_str());
  const std::string tail = (serial.empty() ? "" : "  " + serial) + "  " + Clock(seconds);
  std::string shownState = state;
  std::string percent;
  std::string bar;
  if (total > 0) {
    const long done = std::clamp(count, 0L, total);
    char text[96];
    std::snprintf(text, sizeof text, "%-16.40s", state.c_str());
    shownState = text;
    std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(done * 100 / total));
    percent = text;
    const int width = 20;
    const int filled = static_cast<int>(done * width / total);
    bar = " [" + std::string(filled, '#') + std::string(width - filled, '.') + ']';
  }
  // What does not fit goes in this order: the bar, then the end of the state
  // (a long refusal); the percentage, the serial and the time stay.
  const auto width = [&] {
    return std::strlen(head) + shownState.size() + percent.size() + bar.size() + tail.size();
  };
  const std::size_t room = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
  if (room > 0 && width() > room) bar.clear();
  if (room > 0 && width() > room) {
    const std::size_t others = width() - shownState.size();
    shownState.resize(others < room ? room - others : 0);
  }
  std::string line = head + shownState + percent + bar + tail;
  if (room > 0 && line.size() > room) line.resize(room);
  return line;
}

std::string FormatSummaryLine(const StationSummary& s) {
  char text[160];
  std::snprintf(text, sizeof text, "passed %d  failed %d  stopped %d  refused %d  %.1f units/h  %s",
                s.m_passed, s.m_failed, s.m_stopped, s.m_refused, s.UnitsPerHour(),
                Clock(s.m_seconds).c_str());
  return text;
}

std::unique_ptr<StationEvents> CreateStationDisplay(ProgressStyle style, std::ostream& out,
                                                    int columns, const SlotBoard& board) {
  switch (style) {
    case ProgressStyle::kJson:
      return std::make_unique<JsonDisplay>(out, board);
    case ProgressStyle::kBar:
      return std::make_unique<TerminalDisplay>(out, columns, board);
    case ProgressStyle::kLines:
      break;
  }
  return std::make_unique<LineDisplay>(out, board);
}

}  // namespace tessarin
