#include "station/station.h"

#include <algorithm>
#include <filesystem>
#include <thread>
#include <utility>

#include "burn/burn_status.h"
#include "hid/device_id.h"
#include "hid/device_info.h"
#include "hid/eeprom_range.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "image/image_verdict.h"
#include "image/utf16.h"
#include "platform/file_io.h"
#include "station/burn_verdict.h"
#include "station/record_time.h"

namespace tessarin {

namespace {

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

/// The key of a slot: the port, or the path when the backend knows no port.
std::string PortOf(const HidInterfaceInfo& info) {
  return info.m_port.empty() ? info.m_path : info.m_port;
}

/// An interface the station looks at: one that may carry the device's frames,
/// or one that could not be examined (it may be ours, and the operator
/// should hear why it is not burned).
bool Candidate(const HidInterfaceInfo& info) {
  return !info.m_error.empty() ||
         ChooseReportMode(info.m_outputReportByteLength, info.m_featureReportByteLength) !=
             REPORT_MODE_NONE;
}

/// The window's Burn rule for this device and image: empty when it may be
/// burned, otherwise the refusal in the window's words with the identifiers.
std::string RefusalOf(const HidDeviceEntry& entry, std::span<const std::uint8_t> image) {
  const ImageVerdict verdict = JudgeImage(entry.vendorId, entry.productId, image);
  return verdict.Burnable() ? std::string() : verdict.m_message;
}

/// Backups of one unit's start and port tried before the station gives up.
constexpr int kBackupNamesMax = 1000;

/// What a record holds for a version or Cur that could not be read back.
constexpr char kUnknownText[] = "unknown";

/// A file name made of the port: letters, digits, '-', '.' and '_' kept.
std::string FileSafe(const std::string& text) {
  std::string safe;
  for (char c : text) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_';
    safe += keep ? c : '_';
  }
  return safe;
}

}  // namespace

double StationSummary::UnitsPerHour() const {
  // Units that got a result: a stopped one (Ctrl+C twice, unplugged) did not.
  const int units = m_passed + m_failed;
  return m_seconds > 0 ? units * 3600.0 / m_seconds : 0.0;
}

void StationSummary::Count(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::kPassed:
      ++m_passed;
      break;
    case UnitOutcome::kFailed:
      ++m_failed;
      break;
    case UnitOutcome::kStopped:
      ++m_stopped;
      break;
    case UnitOutcome::kRefused:
      ++m_refused;
      break;
    case UnitOutcome::kRunning:
    case UnitOutcome::kInterrupted:
      break;
  }
}

struct Station::Slot {
  std::string m_port;
  std::string m_path;
  std::string m_device;
  HidDeviceManager m_hid;
  BurnFlags m_flags;
  SteadyClock::time_point m_arrived = SteadyClock::now();
  std::thread m_thread;
  std::atomic<bool> m_ended{false};  // set as the thread's very last act
  bool m_present = true;             // station thread only

  Slot(HidBackend& backend, std::string port, std::string path, std::string device)
      : m_port(std::move(port)),
        m_path(std::move(path)),
        m_device(std::move(device)),
        m_hid(backend) {
    m_flags.m_deviceOpen.store(true);
  }
};

namespace {

/// The slot's view of its burn: forwards the statuses as events (a few per
/// stage, not one per block) and remembers how far the burn got.
class SlotSink : public BurnStatusSink {
 public:
  SlotSink(std::function<void(StationEvent)> emit, StationEvent base, long total)
      : m_emit(std::move(emit)), m_base(std::move(base)), m_total(total) {}

  void PostStatus(BurnStatus status, long count) override {
    if (status == BurnStatus::BURN_DOWNLOADING) m_written = std::max(m_written, count);
    if (status == BurnStatus::BURN_VERIFYING) {
      // The verify's last post carries the image size (a 1-byte image has
      // nothing to compare): from here on the commit and the serial follow.
      if (count >= m_total - 1) m_verified = true;
    }
    const bool progress =
        status == BurnStatus::BURN_DOWNLOADING || status == BurnStatus::BURN_VERIFYING;
    const long step = std::max(1L, m_total / 20);
    if (status == m_lastStatus && progress && count < m_total && count - m_lastCount < step) {
      return;
    }
    m_lastStatus = status;
    m_lastCount = count;
    StationEvent event = m_base;
    event.m_kind = StationEventKind::kStatus;
    event.m_code = BurnStatusCode(status);
    event.m_count = count;
    event.m_total = progress ? m_total : 0;
    event.m_text = BurnStatusText(status);
    m_emit(std::move(event));
  }
  void ShowStopNotice(const std::string&, const std::string&) override {}
  void DeviceInfoRefreshed(const std::string& version, const std::string& cur) override {
    m_version = version;
    m_cur = cur;
  }
  void Committed() override { m_committed = true; }

  BurnStatus LastStatus() const { return m_lastStatus; }
  long Written() const { return m_written; }
  /// The burn got past its verify: the descriptor may have reached the device.
  bool PastVerify() const { return m_verified; }
  bool HasCommitted() const { return m_committed; }
  const std::string& Version() const { return m_version; }
  const std::string& Cur() const { return m_cur; }

 private:
  std::function<void(StationEvent)> m_emit;
  StationEvent m_base;
  long m_total;
  BurnStatus m_lastStatus = BurnStatus::BURN_IDLE;
  long m_lastCount = 0;
  long m_written = 0;
  bool m_verified = false;
  bool m_committed = false;
  std::string m_version;
  std::string m_cur;
};

}  // namespace

Station::Station(HidBackend& backend, RecordStore& store, StationConfig config,
                 StationEvents& events)
    : m_backend(backend), m_store(store), m_config(std::move(config)), m_events(events) {}

Station::~Station() {
  for (auto& [port, slot] : m_slots) {
    slot->m_flags.m_cancelRequested.store(true);
    if (slot->m_thread.joinable()) slot->m_thread.join();
  }
}

void Station::Emit(StationEvent event) {
  std::lock_guard<std::mutex> lock(m_eventGuard);
  m_events.OnEvent(event);
}

void Station::ReleaseClaim() {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_claimed;
  // Only the unit limit closed the door: it opens again.
  if (m_config.m_maxUnits > 0 && m_claimed == m_config.m_maxUnits - 1 && !m_config.m_once &&
      m_fatal.empty() && m_stopLevel.load() == 0) {
    m_accepting = true;
  }
}

bool Station::ClaimUnit() {
  std::lock_guard<std::mutex> lock(m_mutex);
  // A slot already taken goes on when the station stops taking new ones
  // (--once after its first look, one Ctrl+C); only the unit limit and a
  // broken store refuse it.
  if (!m_fatal.empty()) return false;
  if (m_config.m_maxUnits > 0 && m_claimed >= m_config.m_maxUnits) return false;
  ++m_claimed;
  if (m_config.m_maxUnits > 0 && m_claimed >= m_config.m_maxUnits) m_accepting = false;
  return true;
}

void Station::Count(UnitOutcome outcome) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_summary.Count(outcome);
}

void Station::Fatal(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fatal.empty()) m_fatal = message;
    m_accepting = false;
  }
  StationEvent event;
  event.m_kind = StationEventKind::kNotice;
  event.m_text = message + "; no more devices are taken, running burns finish";
  Emit(std::move(event));
}

bool Station::Run(StationSummary* summary, std::string* error) {
  m_start = SteadyClock::now();
  m_backend.SetDeviceChangeListener([this](int) { Wake(); });
  for (;;) {
    Poll();
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool running = std::any_of(m_slots.begin(), m_slots.end(),
                                     [](const auto& item) { return !item.second->m_ended.load(); });
    if (!m_accepting && !running) break;
    m_wake.wait_for(lock, m_config.m_poll, [this] { return m_changed; });
    m_changed = false;
  }
  m_backend.SetDeviceChangeListener({});
  for (auto& [port, slot] : m_slots) {
    if (slot->m_thread.joinable()) slot->m_thread.join();
  }
  m_slots.clear();

  StationSummary done;
  std::string fatal;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_summary.m_seconds = SecondsSince(m_start);
    done = m_summary;
    fatal = m_fatal;
  }
  StationEvent event;
  event.m_kind = StationEventKind::kSummary;
  event.m_summary = done;
  Emit(std::move(event));
  if (summary) *summary = done;
  if (!fatal.empty()) {
    if (error) *error = fatal;
    return false;
  }
  return true;
}

void Station::Wake() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed = true;
  }
  m_wake.notify_all();
}

void Station::Stop(int level) {
  int current = m_stopLevel.load();
  while (level > current && !m_stopLevel.compare_exchange_weak(current, level)) {
  }
  Wake();
}

void Station::WatchStore() {
  std::string why;
  const bool available = m_store.Available(&why);
  if (available == m_storeAvailable) return;
  m_storeAvailable = available;
  StationEvent notice;
  notice.m_kind = StationEventKind::kNotice;
  notice.m_text = available ? "record store: reachable again; waiting units are burned now"
                            : "record store: " + why +
                                  "; new units wait (store unavailable), running burns finish "
                                  "and their results are kept on this station";
  Emit(std::move(notice));
}

void Station::Poll() {
  m_backend.ProcessDeviceChanges();
  WatchStore();
  // The first path of each port with a candidate interface.
  std::map<std::string, HidInterfaceInfo> present;
  for (const HidInterfaceInfo& info : m_backend.Enumerate()) {
    if (Candidate(info)) present.emplace(PortOf(info), info);
  }
  const int stopLevel = m_stopLevel.load();

  std::vector<StationEvent> events;
  std::vector<Slot*> started;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (stopLevel >= 1) m_accepting = false;
    // Once per level; a stop that comes at level 2 at once says only that.
    if (const int level = std::min(stopLevel, 2); level > m_stopShown) {
      m_stopShown = level;
      StationEvent notice;
      notice.m_kind = StationEventKind::kNotice;
      notice.m_text = level == 1 ? "stopping: no new devices are taken; running burns finish "
                                   "(Ctrl+C again stops them)"
                                 : "stopping: no new devices are taken; running burns stop at "
                                   "their next block (their devices are left without a valid "
                                   "image)";
      events.push_back(std::move(notice));
    }
    for (auto it = m_slots.begin(); it != m_slots.end();) {
      Slot& slot = *it->second;
      const auto found = present.find(slot.m_port);
      if (slot.m_present && (found == present.end() || found->second.m_path != slot.m_path)) {
        // Unplugged (or replaced between two looks): a burn stops at its next block.
        slot.m_present = false;
        slot.m_flags.m_deviceOpen.store(false);
      }
      // Set on every look: a burn clears the flag when it begins.
      if (stopLevel >= 2) slot.m_flags.m_cancelRequested.store(true);
      if (slot.m_ended.load() && !slot.m_present) {
        slot.m_thread.join();
        StationEvent left;
        left.m_kind = StationEventKind::kLeft;
        left.m_port = slot.m_port;
        left.m_path = slot.m_path;
        left.m_device = slot.m_device;
        events.push_back(std::move(left));
        it = m_slots.erase(it);
      } else {
        ++it;
      }
    }
    if (m_accepting) {
      for (const auto& [port, info] : present) {
        if (m_slots.count(port) != 0) continue;
        auto slot = std::make_unique<Slot>(m_backend, port, info.m_path,
                                           FormatDeviceId(info.m_vendorId, info.m_productId));
        StationEvent arrived;
        arrived.m_kind = StationEventKind::kArrived;
        arrived.m_port = port;
        arrived.m_path = info.m_path;
        arrived.m_device = slot->m_device;
        events.push_back(std::move(arrived));
        started.push_back(slot.get());
        m_slots.emplace(port, std::move(slot));
      }
    }
    if (m_firstLook && m_config.m_once) m_accepting = false;
    m_firstLook = false;
  }
  for (StationEvent& event : events) Emit(std::move(event));
  for (Slot* slot : started) {
    slot->m_thread = std::thread([this, slot] { RunSlot(*slot); });
  }
}

/// What the steps of one unit share.
struct Station::Unit {
  Slot& m_slot;
  StationEvent m_base;  // port, path and device of every event of the unit
  UnitRecord m_record;
  DeviceClaimPtr m_claim;  // held until the unit is done
};

/// Ends a slot's thread however its unit ended: the station looks again and
/// finds the slot ended.
class Station::SlotEnd {
 public:
  SlotEnd(Station& station, Slot& slot) : m_station(station), m_slot(slot) {}
  ~SlotEnd() { m_station.SlotEnded(m_slot); }
  SlotEnd(const SlotEnd&) = delete;
  SlotEnd& operator=(const SlotEnd&) = delete;

 private:
  Station& m_station;
  Slot& m_slot;
};

void Station::SlotEnded(Slot& slot) {
  Wake();
  slot.m_ended.store(true);
}

void Station::RunSlot(Slot& slot) {
  const SlotEnd end(*this, slot);
  Unit unit{slot, {}, {}, {}};
  unit.m_base.m_port = slot.m_port;
  unit.m_base.m_path = slot.m_path;
  unit.m_base.m_device = slot.m_device;
  UnitRecord& record = unit.m_record;
  record.m_startedAt = m_store.Now();
  record.m_station = m_config.m_stationName;
  record.m_port = slot.m_port;
  record.m_device = slot.m_device;
  record.m_imagePath = m_config.m_imagePath;
  record.m_imageSize = static_cast<std::int64_t>(m_config.m_image->ImageSize());
  record.m_imageSha256 = m_config.m_imageSha256;
  record.m_toolVersion = m_config.m_toolVersion;
  if (Admit(unit) && BackUp(unit) && Reserve(unit)) Classify(unit, Burn(unit));
}

bool Station::Admit(Unit& unit) {
  Slot& slot = unit.m_slot;
  // Only this port's interfaces: the devices burning on the other ports are
  // not probed under their burns.
  const std::string port = slot.m_port;
  slot.m_hid.Scan([&port](const HidInterfaceInfo& info) { return PortOf(info) == port; });
  if (slot.m_hid.Entries().empty()) {
    for (const HidSkippedInterface& skipped : slot.m_hid.Skipped()) {
      if (!Candidate(skipped.m_info)) continue;
      if (!skipped.m_reason.empty()) Refuse(unit, "cannot use the device: " + skipped.m_reason);
      break;
    }
    // A device that left before it could be looked at needs no record.
    return false;
  }
  const HidDeviceManager::Entry entry = slot.m_hid.Entries().front();
  slot.m_hid.Open(entry);
  if (const std::string refusal = RefusalOf(*entry, m_config.m_image->ImageData());
      !refusal.empty()) {
    Refuse(unit, refusal);
    return false;
  }
  // Held until the unit is done: no other program burns or reads it meanwhile.
  std::string claimError;
  unit.m_claim = slot.m_hid.Claim(entry, &claimError);
  if (!unit.m_claim) {
    Refuse(unit, "cannot use the device: " + claimError);
    return false;
  }
  if (!ClaimUnit()) return false;
  unit.m_record.m_versionBefore = ReadDeviceVersion(slot.m_hid).value_or(kNoEepromText);
  unit.m_record.m_curBefore = ReadDeviceCur(slot.m_hid);
  return true;
}

bool Station::BackUp(Unit& unit) {
  if (m_config.m_backupDir.empty()) return true;
  std::vector<std::uint8_t> eeprom;
  const EepromWalkResult walk = ReadEepromInto(unit.m_slot.m_hid, 0, EEPROM_BYTES, &eeprom);
  std::string error;
  if (walk.m_outcome != EepromWalk::kDone) {
    error = "reading the EEPROM failed at " + std::to_string(walk.m_address);
  } else if (std::string file = SaveBackup(unit, eeprom, &error); !file.empty()) {
    unit.m_record.m_backupFile = std::move(file);
    return true;
  }
  const std::string message = "backup: " + error + "; nothing was burned";
  EndRecord(unit, UnitOutcome::kFailed, message);
  if (!m_store.AddUnit(&unit.m_record, &error)) Fatal("record store: " + error);
  StationEvent finished = unit.m_base;
  finished.m_outcome = UnitOutcome::kFailed;
  finished.m_text = message;
  Report(unit, std::move(finished));
  return false;
}

std::string Station::SaveBackup(const Unit& unit, std::span<const std::uint8_t> eeprom,
                                std::string* error) const {
  // Named by the unit's start to the millisecond and its port, in a file of
  // its own: two units in one millisecond, another station sharing the
  // folder or a file left there get the next free name, never the same.
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(m_config.m_backupDir, ec);
  if (ec) dir = m_config.m_backupDir;
  const std::string stem =
      FileSafe(unit.m_record.m_startedAt.substr(0, 23) + "-" + unit.m_slot.m_port);
  for (int attempt = 1; attempt <= kBackupNamesMax; ++attempt) {
    const std::string name = stem + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".eeprom";
    const std::filesystem::path file = dir / name;
    bool exists = false;
    if (WriteNewFile(file, eeprom, &exists, error)) return file.string();
    if (!exists) {
      *error = "cannot save it: " + *error;
      return {};
    }
  }
  *error = "cannot save it: " + std::to_string(kBackupNamesMax) + " files named " + stem +
           "... are there already";
  return {};
}

bool Station::Reserve(Unit& unit) {
  const SerialSeries* series = m_config.m_serials ? &*m_config.m_serials : nullptr;
  std::string error;
  bool told = false;
  while (!m_store.StartUnit(&unit.m_record, series, &error)) {
    if (!IsStoreUnavailable(error)) {
      Fatal("record store: " + error);
      Refuse(unit, "not burned: no serial could be reserved (" + error + ")");
      return false;
    }
    // Nothing is burned before its serial is in the store: the unit waits.
    if (!told) {
      StationEvent waiting = unit.m_base;
      waiting.m_kind = StationEventKind::kStoreUnavailable;
      waiting.m_text = error;
      Emit(std::move(waiting));
      told = true;
    }
    if (!WaitForStore(unit)) {
      ReleaseClaim();
      const bool left = unit.m_slot.m_flags.m_deviceOpen.load() == 0;
      Refuse(unit, "not burned: the record store could not be reached (" + error + ") and " +
                       (left ? "the device was unplugged" : "the station stopped"));
      return false;
    }
  }
  unit.m_base.m_serial = unit.m_record.m_serial;
  StationEvent started = unit.m_base;
  started.m_kind = StationEventKind::kStarted;
  Emit(std::move(started));
  return true;
}

bool Station::WaitForStore(Unit& unit) {
  for (;;) {
    // A look every poll, also when the store says at once that it is back:
    // a store that flickers is not asked without pause.
    std::this_thread::sleep_for(m_config.m_poll);
    if (unit.m_slot.m_flags.m_deviceOpen.load() == 0 || m_stopLevel.load() >= 1) return false;
    if (m_store.Available(nullptr)) return true;
  }
}

BurnEnd Station::Burn(Unit& unit) {
  Slot& slot = unit.m_slot;
  SlotSink sink([this](StationEvent event) { Emit(std::move(event)); }, unit.m_base,
                static_cast<long>(m_config.m_image->ImageSize()));
  BurnEnd end;
  {
    BurnWorker worker(slot.m_hid, slot.m_flags, sink, m_config.m_sleep);
    end.m_result =
        worker.RunSynchronously(BurnJob{m_config.m_image, Utf8ToUtf16(unit.m_record.m_serial)});
  }
  end.m_unplugged = !slot.m_flags.m_deviceOpen.load();
  end.m_present = slot.m_hid.IsPresent(slot.m_path);
  end.m_pastVerify = sink.PastVerify();
  end.m_lastStatus = sink.LastStatus();
  end.m_committed = sink.HasCommitted();
  UnitRecord& record = unit.m_record;
  record.m_statusCode = static_cast<int>(BurnStatusCode(sink.LastStatus()));
  record.m_statusText = BurnStatusText(sink.LastStatus());
  record.m_bytes = sink.Written();
  record.m_versionAfter = sink.Version();
  record.m_curAfter = sink.Cur();
  return end;
}

void Station::Classify(Unit& unit, const BurnEnd& end) {
  const BurnVerdict verdict = ClassifyBurnEnd(end);
  std::string message = verdict.m_message;
  UnitRecord& record = unit.m_record;
  if (verdict.m_outcome == UnitOutcome::kPassed && record.m_versionAfter == kNoEepromText) {
    // Burned and read back, so the EEPROM is there: only the read after failed.
    record.m_versionAfter = kUnknownText;
    if (record.m_curAfter.empty()) record.m_curAfter = kUnknownText;
    message =
        "burned and verified, but reading the device's version back failed: check it with "
        "`tessarin-cli info`";
    StationEvent notice;
    notice.m_kind = StationEventKind::kNotice;
    notice.m_text = unit.m_slot.m_port + ": " + message;
    Emit(std::move(notice));
  }
  EndRecord(unit, verdict.m_outcome, message);
  std::string error;
  if (!m_store.FinishUnit(unit.m_record, verdict.m_fate, &error)) Fatal("record store: " + error);
  StationEvent finished = unit.m_base;
  finished.m_outcome = verdict.m_outcome;
  finished.m_code = BurnStatusCode(end.m_lastStatus);
  finished.m_text =
      verdict.m_message.empty() ? BurnStatusText(end.m_lastStatus) : verdict.m_message;
  finished.m_version = unit.m_record.m_versionAfter;
  finished.m_cur = unit.m_record.m_curAfter;
  Report(unit, std::move(finished));
}

void Station::EndRecord(Unit& unit, UnitOutcome outcome, const std::string& message) {
  unit.m_record.m_outcome = outcome;
  unit.m_record.m_message = message;
  unit.m_record.m_endedAt = m_store.Now();
  unit.m_record.m_durationMs =
      static_cast<std::int64_t>(SecondsSince(unit.m_slot.m_arrived) * 1000);
}

void Station::Refuse(Unit& unit, const std::string& message) {
  EndRecord(unit, UnitOutcome::kRefused, message);
  std::string error;
  if (!m_store.AddUnit(&unit.m_record, &error)) Fatal("record store: " + error);
  StationEvent event = unit.m_base;
  event.m_kind = StationEventKind::kRefused;
  event.m_text = message;
  event.m_seconds = SecondsSince(unit.m_slot.m_arrived);
  Emit(std::move(event));
  Count(UnitOutcome::kRefused);
}

void Station::Report(Unit& unit, StationEvent finished) {
  const UnitOutcome outcome = finished.m_outcome;
  finished.m_kind = StationEventKind::kFinished;
  finished.m_serial = unit.m_record.m_serial;
  finished.m_seconds = SecondsSince(unit.m_slot.m_arrived);
  Emit(std::move(finished));
  Count(outcome);
}

}  // namespace tessarin
