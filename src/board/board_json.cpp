#include "board/board_json.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace tessarin {

namespace {

long Ms(double seconds) { return static_cast<long>(seconds * 1000); }

/// The outcome a slot that ended stands for.
UnitOutcome EndedOutcome(SlotState state) {
  if (state == SlotState::kPassed) return UnitOutcome::kPassed;
  if (state == SlotState::kStopped) return UnitOutcome::kStopped;
  return UnitOutcome::kFailed;
}

/// The object of an event about a slot, from the slot it left.
nlohmann::json SlotEventJson(StationEventKind kind, const SlotView& s) {
  nlohmann::json j;
  switch (kind) {
    case StationEventKind::kArrived:
      return {{"event", "arrived"}, {"port", s.m_port}, {"path", s.m_path}, {"device", s.m_device}};
    case StationEventKind::kRefused:
      return {{"event", "refused"},   {"port", s.m_port},       {"path", s.m_path},
              {"device", s.m_device}, {"message", s.m_message}, {"elapsedMs", Ms(s.m_seconds)}};
    case StationEventKind::kStoreUnavailable:
      return {{"event", "store-unavailable"},
              {"port", s.m_port},
              {"device", s.m_device},
              {"message", s.m_message}};
    case StationEventKind::kStarted:
      return {
          {"event", "started"}, {"port", s.m_port}, {"device", s.m_device}, {"serial", s.m_serial}};
    case StationEventKind::kStatus:
      j = {{"event", "status"},
           {"port", s.m_port},
           {"serial", s.m_serial},
           {"code", s.m_code},
           {"text", s.m_statusText}};
      if (s.m_total > 0) {
        j["count"] = s.m_count;
        j["total"] = s.m_total;
      }
      return j;
    case StationEventKind::kFinished: {
      const UnitOutcome outcome = EndedOutcome(s.m_state);
      j = {{"event", "finished"},
           {"port", s.m_port},
           {"device", s.m_device},
           {"serial", s.m_serial},
           {"ok", outcome == UnitOutcome::kPassed},
           {"result", OutcomeWord(outcome)},
           {"status", s.m_code},
           {"text", s.m_message},
           {"elapsedMs", Ms(s.m_seconds)}};
      if (outcome == UnitOutcome::kPassed) {
        j["version"] = s.m_version;
        j["cur"] = s.m_cur;
      }
      return j;
    }
    case StationEventKind::kLeft:
      return {{"event", "left"}, {"port", s.m_port}, {"path", s.m_path}};
    case StationEventKind::kNotice:
    case StationEventKind::kSummary:
      break;
  }
  return j;
}

/// Burned units (passed, failed, stopped) that passed; null before the first.
nlohmann::ordered_json Yield(const StationSummary& s) {
  const int burned = s.m_passed + s.m_failed + s.m_stopped;
  if (burned == 0) return nullptr;
  return static_cast<double>(s.m_passed) / burned;
}

nlohmann::ordered_json SlotStateJson(const SlotView& s, SlotView::TimePoint now) {
  const bool burning = s.m_state == SlotState::kBurning;
  const long total = burning ? s.m_total : 0;
  const long done = std::clamp(s.m_count, 0L, std::max(total, 0L));
  int progress = 0;
  if (s.m_state == SlotState::kPassed) {
    progress = 100;
  } else if (total > 0) {
    progress = static_cast<int>(done * 100 / total);
  }
  return {{"port", s.m_port},
          {"state", SlotStateWord(s.m_state)},
          {"phase", burning ? s.m_statusText : std::string()},
          {"code", s.m_code},
          {"progress", progress},
          {"count", done},
          {"total", total},
          {"serial", s.m_serial},
          {"device", s.m_device},
          {"path", s.m_path},
          {"elapsedMs", s.m_state == SlotState::kFree ? 0 : Ms(s.SecondsAt(now))},
          {"message", s.m_message},
          {"version", s.m_version},
          {"cur", s.m_cur}};
}

}  // namespace

nlohmann::json StationEventJson(const StationEvent& event, const SlotView& slot) {
  if (event.m_kind == StationEventKind::kNotice) {
    return {{"event", "notice"}, {"text", event.m_text}};
  }
  if (event.m_kind == StationEventKind::kSummary) {
    const StationSummary& s = event.m_summary;
    return {{"event", "summary"},          {"passed", s.m_passed},
            {"failed", s.m_failed},        {"stopped", s.m_stopped},
            {"refused", s.m_refused},      {"unitsPerHour", s.UnitsPerHour()},
            {"elapsedMs", Ms(s.m_seconds)}};
  }
  return SlotEventJson(event.m_kind, slot);
}

SlotView EventSlot(const StationEvent& event, const SlotBoard& board) {
  if (event.m_kind == StationEventKind::kNotice || event.m_kind == StationEventKind::kSummary) {
    return {};
  }
  return board.Slot(event.m_port).value_or(SlotView{});
}

nlohmann::ordered_json UnitJson(const UnitRecord& r) {
  return {{"id", r.m_id},
          {"startedAt", r.m_startedAt},
          {"endedAt", r.m_endedAt},
          {"station", r.m_station},
          {"port", r.m_port},
          {"device", r.m_device},
          {"versionBefore", r.m_versionBefore},
          {"curBefore", r.m_curBefore},
          {"versionAfter", r.m_versionAfter},
          {"curAfter", r.m_curAfter},
          {"image", r.m_imagePath},
          {"imageSize", r.m_imageSize},
          {"imageSha256", r.m_imageSha256},
          {"serial", r.m_serial},
          {"result", OutcomeWord(r.m_outcome)},
          {"status", r.m_statusCode},
          {"text", r.m_statusText},
          {"bytes", r.m_bytes},
          {"durationMs", r.m_durationMs},
          {"toolVersion", r.m_toolVersion},
          {"backup", r.m_backupFile},
          {"message", r.m_message}};
}

const char* SlotStateWord(SlotState state) {
  switch (state) {
    case SlotState::kFree:
      return "waiting";
    case SlotState::kArrived:
      return "arrived";
    case SlotState::kStoreUnavailable:
      return "store-unavailable";
    case SlotState::kBurning:
      return "burning";
    case SlotState::kPassed:
      return "passed";
    case SlotState::kFailed:
      return "failed";
    case SlotState::kStopped:
      return "stopped";
    case SlotState::kRefused:
      return "refused";
  }
  return "failed";
}

bool PortNameLess(const std::string& a, const std::string& b) {
  const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i;
      std::size_t ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      // Leading zeros do not make a number larger.
      std::size_t zi = i;
      std::size_t zj = j;
      while (zi + 1 < ei && a[zi] == '0') ++zi;
      while (zj + 1 < ej && b[zj] == '0') ++zj;
      if (ei - zi != ej - zj) return ei - zi < ej - zj;
      const int order = a.compare(zi, ei - zi, b, zj, ej - zj);
      if (order != 0) return order < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;  // "port-01" and "port-1": any fixed order
}

std::string JsonLine(const nlohmann::json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonLine(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json BoardUnitsJson(const BoardUnits& units) {
  nlohmann::ordered_json latest = nlohmann::ordered_json::array();
  for (const UnitRecord& r : units.m_latest) latest.push_back(UnitJson(r));
  return {{"latest", latest},
          {"serialsLeft", units.m_serialsLeft ? nlohmann::ordered_json(*units.m_serialsLeft)
                                              : nlohmann::ordered_json(nullptr)}};
}

nlohmann::ordered_json BoardStateJson(const SlotBoardSnapshot& snapshot, const BoardInfo& info,
                                      const nlohmann::ordered_json& units,
                                      SlotView::TimePoint now) {
  StationSummary counters = snapshot.m_counters;
  // The station's own summary carries its time; while it runs, the time is now's.
  if (!snapshot.m_ended) {
    counters.m_seconds = snapshot.m_events == 0
                             ? 0
                             : std::chrono::duration<double>(now - snapshot.m_started).count();
  }
  std::vector<const SlotView*> slots;
  for (const SlotView& s : snapshot.m_slots) slots.push_back(&s);
  std::stable_sort(slots.begin(), slots.end(), [](const SlotView* a, const SlotView* b) {
    return PortNameLess(a->m_port, b->m_port);
  });
  nlohmann::ordered_json slotList = nlohmann::ordered_json::array();
  for (const SlotView* s : slots) slotList.push_back(SlotStateJson(*s, now));

  const auto part = [&](const char* key) {
    const auto it = units.find(key);
    return it == units.end() ? nlohmann::ordered_json(nullptr) : *it;
  };
  nlohmann::ordered_json state;
  state["station"] = info.m_station;
  state["image"] = {{"file", info.m_imageFile}, {"path", info.m_imagePath},
                    {"size", info.m_imageSize}, {"version", info.m_version},
                    {"cur", info.m_cur},        {"sha256", info.m_sha256}};
  state["ended"] = snapshot.m_ended;
  state["notice"] = snapshot.m_notice;
  state["elapsedMs"] = Ms(counters.m_seconds);
  state["counters"] = {
      {"passed", counters.m_passed},       {"failed", counters.m_failed},
      {"stopped", counters.m_stopped},     {"refused", counters.m_refused},
      {"yield", Yield(counters)},          {"unitsPerHour", counters.UnitsPerHour()},
      {"serialsLeft", part("serialsLeft")}};
  state["slots"] = std::move(slotList);
  const nlohmann::ordered_json latest = part("latest");
  state["latest"] = latest.is_array() ? latest : nlohmann::ordered_json::array();
  return state;
}

}  // namespace tessarin
