#include "cli/station_display.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "burn/burn_status.h"

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

long Ms(double seconds) { return static_cast<long>(seconds * 1000); }

std::string ResultWord(const std::string& outcome) {
  if (outcome == kOutcomePassed) return "PASS";
  if (outcome == kOutcomeStopped) return "STOPPED";
  return "FAIL";
}

void Write(std::ostream& out, const nlohmann::json& object) {
  out << object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  out.flush();
}

/// --json: one object per event, with the field names of `burn --json`.
class JsonDisplay : public StationEvents {
 public:
  explicit JsonDisplay(std::ostream& out) : m_out(out) {}

  void OnEvent(const StationEvent& e) override {
    nlohmann::json j;
    switch (e.m_kind) {
      case StationEventKind::kArrived:
        j = {{"event", "arrived"}, {"port", e.m_port}, {"path", e.m_path}, {"device", e.m_device}};
        break;
      case StationEventKind::kRefused:
        j = {{"event", "refused"},   {"port", e.m_port},    {"path", e.m_path},
             {"device", e.m_device}, {"message", e.m_text}, {"elapsedMs", Ms(e.m_seconds)}};
        break;
      case StationEventKind::kStarted:
        j = {{"event", "started"},
             {"port", e.m_port},
             {"device", e.m_device},
             {"serial", e.m_serial}};
        break;
      case StationEventKind::kStatus:
        j = {{"event", "status"},
             {"port", e.m_port},
             {"serial", e.m_serial},
             {"code", e.m_code},
             {"text", e.m_text}};
        if (e.m_total > 0) {
          j["count"] = e.m_count;
          j["total"] = e.m_total;
        }
        break;
      case StationEventKind::kFinished:
        j = {{"event", "finished"},
             {"port", e.m_port},
             {"device", e.m_device},
             {"serial", e.m_serial},
             {"ok", e.m_outcome == kOutcomePassed},
             {"result", e.m_outcome},
             {"status", e.m_code},
             {"text", e.m_text},
             {"elapsedMs", Ms(e.m_seconds)}};
        if (e.m_outcome == kOutcomePassed) {
          j["version"] = e.m_version;
          j["cur"] = e.m_cur;
        }
        break;
      case StationEventKind::kLeft:
        j = {{"event", "left"}, {"port", e.m_port}, {"path", e.m_path}};
        break;
      case StationEventKind::kNotice:
        j = {{"event", "notice"}, {"text", e.m_text}};
        break;
      case StationEventKind::kSummary:
        j = {{"event", "summary"},
             {"passed", e.m_summary.m_passed},
             {"failed", e.m_summary.m_failed},
             {"stopped", e.m_summary.m_stopped},
             {"refused", e.m_summary.m_refused},
             {"unitsPerHour", e.m_summary.UnitsPerHour()},
             {"elapsedMs", Ms(e.m_summary.m_seconds)}};
        break;
    }
    Write(m_out, j);
  }

 private:
  std::ostream& m_out;
};

/// A pipe or a log: one line per event; statuses only when the stage changes.
class LineDisplay : public StationEvents {
 public:
  explicit LineDisplay(std::ostream& out) : m_out(out) {}

  void OnEvent(const StationEvent& e) override {
    switch (e.m_kind) {
      case StationEventKind::kArrived:
        m_out << e.m_port << ": arrived " << e.m_device << " (" << e.m_path << ")\n";
        break;
      case StationEventKind::kRefused:
        m_out << e.m_port << ": REFUSED " << e.m_text << '\n';
        break;
      case StationEventKind::kStarted:
        m_out << e.m_port << ": burning"
              << (e.m_serial.empty() ? std::string() : " serial " + e.m_serial) << '\n';
        m_lastCode[e.m_port] = ~0u;
        break;
      case StationEventKind::kStatus:
        if (m_lastCode[e.m_port] == e.m_code) return;
        m_lastCode[e.m_port] = e.m_code;
        m_out << e.m_port << ": " << e.m_text << '\n';
        break;
      case StationEventKind::kFinished:
        m_out << e.m_port << ": " << ResultWord(e.m_outcome)
              << (e.m_serial.empty() ? std::string() : " " + e.m_serial) << " " << e.m_text << ", "
              << Seconds(e.m_seconds)
              << (e.m_outcome == kOutcomePassed
                      ? ", device version " + e.m_version + ", Cur " + e.m_cur
                      : std::string())
              << '\n';
        break;
      case StationEventKind::kLeft:
        m_out << e.m_port << ": unplugged\n";
        break;
      case StationEventKind::kNotice:
        m_out << e.m_text << '\n';
        break;
      case StationEventKind::kSummary:
        m_out << FormatSummaryLine(e.m_summary) << '\n';
        break;
    }
    m_out.flush();
  }

 private:
  std::ostream& m_out;
  std::map<std::string, unsigned> m_lastCode;
};

/// A terminal: one line per port, redrawn in place, the summary below them.
class TerminalDisplay : public StationEvents {
 public:
  TerminalDisplay(std::ostream& out, int columns) : m_out(out), m_columns(columns) {}

  void OnEvent(const StationEvent& e) override {
    const auto now = SteadyClock::now();
    if (m_slots.empty() && m_drawn == 0) m_start = now;
    SlotView& view = m_slots[e.m_port];
    bool urgent = true;
    switch (e.m_kind) {
      case StationEventKind::kArrived:
        view = SlotView{};
        view.m_state = "arrived " + e.m_device;
        view.m_since = now;
        view.m_running = true;
        break;
      case StationEventKind::kRefused:
        view.m_state = "REFUSED " + e.m_text;
        view.m_running = false;
        ++m_summary.m_refused;
        break;
      case StationEventKind::kStarted:
        view.m_serial = e.m_serial;
        view.m_state = "Downloading...";
        break;
      case StationEventKind::kStatus:
        view.m_state = e.m_text;
        view.m_count = e.m_count;
        view.m_total = e.m_total;
        urgent = false;
        break;
      case StationEventKind::kFinished:
        view.m_state = ResultWord(e.m_outcome) + " " + e.m_text;
        view.m_total = 0;
        view.m_running = false;
        view.m_seconds = e.m_seconds;
        if (e.m_outcome == kOutcomePassed) ++m_summary.m_passed;
        if (e.m_outcome == kOutcomeFailed) ++m_summary.m_failed;
        if (e.m_outcome == kOutcomeStopped) ++m_summary.m_stopped;
        break;
      case StationEventKind::kLeft:
        view = SlotView{};
        view.m_state = "free";
        break;
      case StationEventKind::kNotice:
        m_slots.erase(e.m_port);
        Message(e.m_text);
        return;
      case StationEventKind::kSummary:
        m_slots.erase(e.m_port);
        m_summary = e.m_summary;
        m_final = true;
        break;
    }
    if (!urgent && now - m_lastDraw < std::chrono::milliseconds(100)) return;
    Draw(now);
  }

 private:
  struct SlotView {
    std::string m_state = "free";
    std::string m_serial;
    long m_count = 0;
    long m_total = 0;
    bool m_running = false;
    double m_seconds = 0;
    SteadyClock::time_point m_since;
  };

  void Message(const std::string& text) {
    Erase();
    m_out << text << "\x1b[K\n";
    m_drawn = 0;
    Draw(SteadyClock::now());
  }

  // Back to the first line of the block drawn before.
  void Erase() {
    if (m_drawn > 0) m_out << "\r\x1b[" << m_drawn << 'A';
  }

  void Draw(SteadyClock::time_point now) {
    Erase();
    std::vector<std::string> lines;
    for (const auto& [port, view] : m_slots) {
      const double seconds = view.m_running
                                 ? std::chrono::duration<double>(now - view.m_since).count()
                                 : view.m_seconds;
      lines.push_back(FormatSlotLine(port, view.m_state, view.m_count, view.m_total, view.m_serial,
                                     seconds, m_columns));
    }
    StationSummary summary = m_summary;
    if (!m_final) summary.m_seconds = std::chrono::duration<double>(now - m_start).count();
    lines.push_back(FormatSummaryLine(summary));
    for (const std::string& line : lines) m_out << '\r' << line << "\x1b[K\n";
    m_drawn = static_cast<int>(lines.size());
    if (m_final) m_drawn = 0;
    m_out.flush();
    m_lastDraw = now;
  }

  std::ostream& m_out;
  int m_columns;
  std::map<std::string, SlotView> m_slots;
  StationSummary m_summary;
  bool m_final = false;
  int m_drawn = 0;
  SteadyClock::time_point m_start = SteadyClock::now();
  SteadyClock::time_point m_lastDraw;
};

}  // namespace

std::string FormatSlotLine(const std::string& port, const std::string& state, long count,
                           long total, const std::string& serial, double seconds, int columns) {
  char head[96];
  std::snprintf(head, sizeof head, "%-10s ", port.c_str());
  std::string line = head;
  std::string tail = (serial.empty() ? "" : "  " + serial) + "  " + Clock(seconds);
  if (total > 0) {
    const long done = std::clamp(count, 0L, total);
    char text[96];
    std::snprintf(text, sizeof text, "%-16.40s %3d%% ", state.c_str(),
                  static_cast<int>(done * 100 / total));
    line += text;
    const int width = 20;
    const int filled = static_cast<int>(done * width / total);
    line += '[' + std::string(filled, '#') + std::string(width - filled, '.') + ']';
  } else {
    line += state;
  }
  // The state may be a long refusal: it is cut, the serial and the time stay.
  const int room = columns - 1 - static_cast<int>(tail.size());
  if (room > 0 && static_cast<int>(line.size()) > room) line.resize(room);
  line += tail;
  if (columns > 1 && static_cast<int>(line.size()) > columns - 1) line.resize(columns - 1);
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
                                                    int columns) {
  switch (style) {
    case ProgressStyle::kJson:
      return std::make_unique<JsonDisplay>(out);
    case ProgressStyle::kBar:
      return std::make_unique<TerminalDisplay>(out, columns);
    case ProgressStyle::kLines:
      break;
  }
  return std::make_unique<LineDisplay>(out);
}

}  // namespace tessarin
