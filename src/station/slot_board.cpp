#include "station/slot_board.h"

namespace tessarin {

namespace {

SlotState EndedState(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::kPassed:
      return SlotState::kPassed;
    case UnitOutcome::kStopped:
    case UnitOutcome::kInterrupted:
      return SlotState::kStopped;
    case UnitOutcome::kRefused:
      return SlotState::kRefused;
    case UnitOutcome::kRunning:
    case UnitOutcome::kFailed:
      break;
  }
  return SlotState::kFailed;
}

/// What a burn left in the view: none of it belongs to the next unit.
void ClearUnit(SlotView* view) {
  view->m_serial.clear();
  view->m_code = 0;
  view->m_statusText.clear();
  view->m_count = 0;
  view->m_total = 0;
  view->m_message.clear();
  view->m_version.clear();
  view->m_cur.clear();
  view->m_seconds = 0;
}

}  // namespace

double SlotView::SecondsAt(TimePoint now) const {
  if (!Running()) return m_seconds;
  return std::chrono::duration<double>(now - m_arrived).count();
}

void SlotBoard::OnEvent(const StationEvent& event) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Apply(event, std::chrono::steady_clock::now());
  }
  for (StationEvents* watcher : m_watchers) watcher->OnEvent(event);
}

void SlotBoard::AddWatcher(StationEvents& watcher) { m_watchers.push_back(&watcher); }

void SlotBoard::Apply(const StationEvent& e, SlotView::TimePoint now) {
  if (m_events++ == 0) m_started = now;
  if (e.m_kind == StationEventKind::kNotice) {
    m_notice = e.m_text;
    return;
  }
  if (e.m_kind == StationEventKind::kSummary) {
    m_counters = e.m_summary;
    m_ended = true;
    return;
  }
  SlotView& view = m_slots[e.m_port];
  view.m_port = e.m_port;
  if (!e.m_path.empty()) view.m_path = e.m_path;
  if (!e.m_device.empty()) view.m_device = e.m_device;
  switch (e.m_kind) {
    case StationEventKind::kArrived:
      ClearUnit(&view);
      view.m_state = SlotState::kArrived;
      view.m_arrived = now;
      break;
    case StationEventKind::kRefused:
      view.m_state = SlotState::kRefused;
      view.m_message = e.m_text;
      view.m_seconds = e.m_seconds;
      m_counters.Count(UnitOutcome::kRefused);
      break;
    case StationEventKind::kStoreUnavailable:
      view.m_state = SlotState::kStoreUnavailable;
      view.m_message = e.m_text;
      break;
    case StationEventKind::kStarted:
      ClearUnit(&view);
      view.m_state = SlotState::kBurning;
      view.m_serial = e.m_serial;
      break;
    case StationEventKind::kStatus:
      view.m_serial = e.m_serial;
      view.m_code = e.m_code;
      view.m_statusText = e.m_text;
      view.m_count = e.m_count;
      view.m_total = e.m_total;
      break;
    case StationEventKind::kFinished:
      view.m_state = EndedState(e.m_outcome);
      view.m_serial = e.m_serial;
      view.m_code = e.m_code;
      view.m_count = 0;
      view.m_total = 0;
      view.m_message = e.m_text;
      view.m_version = e.m_version;
      view.m_cur = e.m_cur;
      view.m_seconds = e.m_seconds;
      m_counters.Count(e.m_outcome);
      break;
    case StationEventKind::kLeft:
      ClearUnit(&view);
      view.m_state = SlotState::kFree;
      break;
    case StationEventKind::kNotice:
    case StationEventKind::kSummary:
      break;
  }
}

SlotBoardSnapshot SlotBoard::Snapshot() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  SlotBoardSnapshot snapshot;
  snapshot.m_slots.reserve(m_slots.size());
  for (const auto& [port, view] : m_slots) snapshot.m_slots.push_back(view);
  snapshot.m_counters = m_counters;
  snapshot.m_started = m_started;
  snapshot.m_ended = m_ended;
  snapshot.m_notice = m_notice;
  snapshot.m_events = m_events;
  return snapshot;
}

std::optional<SlotView> SlotBoard::Slot(const std::string& port) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_slots.find(port);
  if (it == m_slots.end()) return std::nullopt;
  return it->second;
}

}  // namespace tessarin
