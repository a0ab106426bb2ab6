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
#include <string>
#include <vector>

#include "burn/burn_worker.h"
#include "image/rom_image.h"
#include "platform/hid_platform.h"
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
  bool m_once = false;      ///< burn what is attached at the start, then end
  int m_maxUnits = 0;       ///< end after this many burned units; 0: no limit
  std::string m_backupDir;  ///< non-empty: each unit's EEPROM is saved here first
  std::string m_stationName;
  std::string m_toolVersion;
  /// Ctrl+C count, raised by the front end's signal handler: 1 stops taking
  /// devices, 2 stops the running burns at their next block. Null: none.
  const std::atomic<int>* m_interrupts = nullptr;
  /// How often the ports are looked at when no device change wakes the station.
  std::chrono::milliseconds m_poll{100};
  BurnSleep m_sleep;  ///< the burn's settle delay; real by default
};

enum class StationEventKind {
  kArrived,   ///< a device is on a port that was free
  kRefused,   ///< never burned: not a Kestrova device, image unsuited, cannot be opened
  kStarted,   ///< its burn begins (m_serial set)
  kStatus,    ///< a burn status (m_code, m_count, m_total)
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
  /// Units burned (passed, failed or stopped) per hour of the station's run.
  double UnitsPerHour() const;
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
  std::string m_text;     ///< status text, refusal, notice
  std::string m_outcome;  ///< kFinished: passed, failed or stopped
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

 private:
  struct Slot;
  void Poll();
  void RunSlot(Slot& slot);
  void Emit(StationEvent event);
  bool ClaimUnit();
  void Count(const std::string& outcome);
  void Fatal(const std::string& message);

  HidBackend& m_backend;
  RecordStore& m_store;
  StationConfig m_config;
  StationEvents& m_events;
  std::mutex m_eventGuard;  // serialises OnEvent

  std::mutex m_mutex;  // guards what follows
  std::condition_variable m_wake;
  bool m_changed = false;  // a device change or a slot's end since the last look
  std::map<std::string, std::unique_ptr<Slot>> m_slots;  // by port
  int m_claimed = 0;
  bool m_accepting = true;
  bool m_firstLook = true;
  std::string m_fatal;
  StationSummary m_summary;
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace tessarin
