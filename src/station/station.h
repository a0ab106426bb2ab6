// The production station: every Kestrova device plugged in is burned in a
// slot of its own, keyed by the physical port, in parallel with the others,
// with a serial number from the store and one record per unit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "burn/burn_worker.h"
#include "image/rom_image.h"
#include "platform/hid_platform.h"
#include "station/burn_verdict.h"
#include "station/record_store.h"
#include "station/serial_series.h"

namespace tessarin {

/// What the station does, fixed before it starts.
struct StationConfig {
  SharedRomImage m_image;  ///< checked by the caller: not empty, at most 32 KB
  std::string m_imagePath;
  std::string m_imageSha256;
  /// Null: no serial numbers; each unit's descriptor is cleared.
  std::optional<SerialSeries> m_serials;
  bool m_once = false;  ///< burn what is attached at the start, then end
  int m_maxUnits = 0;   ///< end after this many burned units; 0: no limit
  /// Non-empty: each unit's EEPROM is saved first, in a new file of this
  /// folder (recorded with its absolute path).
  std::string m_backupDir;
  std::string m_stationName;
  std::string m_toolVersion;
  /// How often the ports are looked at when no device change wakes the station.
  std::chrono::milliseconds m_poll{100};
  BurnSleep m_sleep;  ///< the burn's settle delay; real by default
};

enum class StationEventKind {
  kArrived,  ///< a device is on a port that was free
  kRefused,  ///< never burned: not a Kestrova device, image unsuited, cannot be opened
  kStarted,  ///< its burn begins (m_serial set)
  kStatus,   ///< a burn status (m_code, m_count, m_total)
  /// The unit waits before its burn: the record store cannot be reached
  /// (m_text says why). It is burned once the store is back, never before its
  /// serial is reserved there.
  kStoreUnavailable,
  kFinished,  ///< the burn ended (m_outcome, m_code, m_text)
  kLeft,      ///< the device was unplugged from its port
  kNotice,    ///< a message for the operator (m_text)
  kSummary,   ///< the station ends (m_summary)
};

struct StationSummary {
  int m_passed = 0;
  int m_failed = 0;
  int m_stopped = 0;
  int m_refused = 0;
  double m_seconds = 0;
  /// Units that got a result (passed or failed; stopped and refused ones do
  /// not count) per hour of the station's run.
  double UnitsPerHour() const;
  /// Counts one unit that ended so (running and interrupted ones count nowhere).
  void Count(UnitOutcome outcome);
};

struct StationEvent {
  StationEventKind m_kind = StationEventKind::kNotice;
  std::string m_port;
  std::string m_path;
  std::string m_device;  ///< "0495:8041"
  std::string m_serial;
  unsigned m_code = 0;
  long m_count = 0;
  long m_total = 0;
  std::string m_text;                             ///< status text, refusal, notice
  UnitOutcome m_outcome = UnitOutcome::kRunning;  ///< kFinished: passed, failed or stopped
  std::string m_version;  ///< kFinished after a pass: the device's version and Cur
  std::string m_cur;
  double m_seconds = 0;  ///< since the unit arrived
  StationSummary m_summary;
};

/// Receives the station's events, one at a time (the station serialises the
/// calls), from the slots' threads and the station's own.
class StationEvents {
 public:
  virtual ~StationEvents() = default;
  virtual void OnEvent(const StationEvent& event) = 0;
};

class Station {
 public:
  /// Everything given must outlive the station.
  Station(HidBackend& backend, RecordStore& store, StationConfig config, StationEvents& events);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  /// Runs until --once or --max-units is satisfied, or the operator stopped
  /// it, and every slot has ended. False with the reason in *error when the
  /// store failed (the running burns were let finish first).
  bool Run(StationSummary* summary, std::string* error);

  /// Asks the station to stop: level 1 takes no more devices and lets the
  /// running burns finish; level 2 also stops the running burns at their next
  /// block (their devices are left without a valid image). A level never
  /// goes down. Thread-safe, from any thread, before or during Run, while the
  /// station lives; not from a signal handler (it wakes the station's thread):
  /// a handler sets an atomic that a thread of the front end hands on.
  void Stop(int level);

 private:
  struct Slot;
  struct Unit;
  class SlotEnd;
  void Poll();
  void RunSlot(Slot& slot);
  // The steps of a unit, in order; the first three false when the unit
  // ends there (recorded, or with nothing to record).
  bool Admit(Unit& unit);
  bool BackUp(Unit& unit);
  /// Saves `eeprom` in a new file of the backup folder; its path, or empty
  /// with the reason in *error.
  std::string SaveBackup(const Unit& unit, std::span<const std::uint8_t> eeprom,
                         std::string* error) const;
  bool Reserve(Unit& unit);
  /// Waits while the store cannot be reached; false when the unit ends
  /// instead (its device left, the station stops).
  bool WaitForStore(Unit& unit);
  BurnEnd Burn(Unit& unit);
  void Classify(Unit& unit, const BurnEnd& end);

  void Refuse(Unit& unit, const std::string& message);
  void EndRecord(Unit& unit, UnitOutcome outcome, const std::string& message);
  void Report(Unit& unit, StationEvent finished);
  void SlotEnded(Slot& slot);
  /// Makes the station's thread look again at once.
  void Wake();
  void Emit(StationEvent event);
  bool ClaimUnit();
  /// Gives back the claim of a unit that was never burned because the store
  /// could not be reached: it does not count towards --max-units.
  void ReleaseClaim();
  /// Tells the operator when the store goes away or comes back.
  void WatchStore();
  void Count(UnitOutcome outcome);
  void Fatal(const std::string& message);

  HidBackend& m_backend;
  RecordStore& m_store;
  StationConfig m_config;
  StationEvents& m_events;
  std::mutex m_eventGuard;  // serialises OnEvent
  std::atomic<int> m_stopLevel{0};

  std::mutex m_mutex;  // guards what follows
  std::condition_variable m_wake;
  bool m_changed = false;  // a device change or a slot's end since the last look
  std::map<std::string, std::unique_ptr<Slot>> m_slots;  // by port
  int m_claimed = 0;
  bool m_accepting = true;
  bool m_firstLook = true;
  bool m_storeAvailable = true;  // as last told; the station's thread only
  int m_stopShown = 0;  // the stop level the operator was told of
  std::string m_fatal;
  StationSummary m_summary;
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace tessarin
