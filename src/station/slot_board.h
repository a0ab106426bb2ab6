// What each slot of a station shows, kept from the station's events: the one
// model every view of a running station reads (the terminal's lines, the JSON
// lines, and later a web page or a window).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/station.h"

namespace tessarin {

enum class SlotState {
  kFree,     ///< its device left; the port waits for the next one
  kArrived,  ///< a device arrived and is being looked at
  kBurning,  ///< the burn is under way (phase, count and total in the view)
  /// The unit waits for the record store, which cannot be reached (the reason
  /// is the message); it is burned once the store is back.
  kStoreUnavailable,
  kPassed,
  kFailed,
  kStopped,
  kRefused,  ///< never burned (the reason is the message); the last state
};

/// One port's slot as the board holds it.
struct SlotView {
  using TimePoint = std::chrono::steady_clock::time_point;

  std::string m_port;
  SlotState m_state = SlotState::kFree;
  std::string m_path;    ///< of the device there, or of the last one
  std::string m_device;  ///< "0495:8041"
  std::string m_serial;
  unsigned m_code = 0;       ///< the burn's phase: its last status (a BurnStatus)
  std::string m_statusText;  ///< the status's text; empty before the first
  long m_count = 0;          ///< the phase's progress, when m_total > 0
  long m_total = 0;
  std::string m_message;  ///< the refusal, or the result's text
  std::string m_version;  ///< after a pass: the device's version and Cur
  std::string m_cur;
  TimePoint m_arrived;   ///< when the device arrived
  double m_seconds = 0;  ///< once the unit ended: from its arrival to its end

  /// Arrived, waiting for the store, or burning.
  bool Running() const {
    return m_state == SlotState::kArrived || m_state == SlotState::kStoreUnavailable ||
           m_state == SlotState::kBurning;
  }
  /// The unit's time: up to `now` while it runs, else its end's.
  double SecondsAt(TimePoint now) const;
};

/// A copy of the whole board.
struct SlotBoardSnapshot {
  std::vector<SlotView> m_slots;  ///< by port
  /// Units so far; the station's own summary once m_ended (m_seconds is
  /// set only then).
  StationSummary m_counters;
  SlotView::TimePoint m_started;  ///< when the first event came
  bool m_ended = false;           ///< the station's summary came
  std::string m_notice;           ///< the last message for the operator
  /// How many events the board applied: a watcher that counts the events it
  /// was told of knows which of them a snapshot already holds.
  std::uint64_t m_events = 0;
};

/// Fed by a station (it is the station's StationEvents) and read by views.
/// OnEvent comes serialised from the station's threads; Snapshot and Slot may
/// be called from any thread at any time and return copies.
class SlotBoard : public StationEvents {
 public:
  /// Applies the event, then hands it to each watcher, which may read the
  /// board from inside its OnEvent.
  void OnEvent(const StationEvent& event) override;
  /// Adds a view told of each event after the board applied it; before the
  /// station runs. The watcher must outlive the board's use.
  void AddWatcher(StationEvents& watcher);

  SlotBoardSnapshot Snapshot() const;
  /// The slot of one port; null when no event named it.
  std::optional<SlotView> Slot(const std::string& port) const;

 private:
  void Apply(const StationEvent& event, SlotView::TimePoint now);

  mutable std::mutex m_mutex;  // guards what follows
  std::map<std::string, SlotView> m_slots;
  StationSummary m_counters;
  SlotView::TimePoint m_started;
  std::uint64_t m_events = 0;
  bool m_ended = false;
  std::string m_notice;

  std::vector<StationEvents*> m_watchers;  // fixed before the station runs
};

}  // namespace tessarin
