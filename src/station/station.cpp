#include "station/station.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <utility>

#include "burn/burn_status.h"
#include "hid/device_info.h"
#include "hid/eeprom_range.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "image/compat_state.h"
#include "image/utf16.h"
#include "platform/file_io.h"

namespace tessarin {

namespace {

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string Hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value & 0xFFFF));
  return text;
}

std::string DeviceIds(const HidInterfaceInfo& info) {
  return Hex4(info.m_vendorId) + ":" + Hex4(info.m_productId);
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
/// burned, otherwise the refusal in the window's words.
std::string Refusal(const HidDeviceEntry& entry, std::span<const std::uint8_t> image) {
  const DeviceClass deviceClass = ClassifyDevice(entry.vendorId, entry.productId);
  CompatState state;
  ApplyDeviceIds(entry.vendorId, entry.productId, &state);
  const ImageFields fields = ParseImageFields(image);
  ApplyImageIds(fields, &state);
  const std::string device = Hex4(entry.vendorId) + ":" + Hex4(entry.productId);
  switch (JudgeSuitability(state)) {
    case ImageSuitability::kSuits:
      return "";
    case ImageSuitability::kNotOwnDevice: {
      const std::string& line = deviceClass.m_line;
      const std::size_t first = line.find_first_not_of(' ');
      return (first == std::string::npos ? line : line.substr(first)) + " (" + device + ")";
    }
    case ImageSuitability::kNotSupported:
      break;
  }
  return std::string(kNotSupportedText) + " (the image is for " + Hex4(fields.m_vid) + ":" +
         Hex4(fields.m_pid) + ", the device is " + device + ")";
}

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
  const int units = m_passed + m_failed + m_stopped;
  return m_seconds > 0 ? units * 3600.0 / m_seconds : 0.0;
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
    m_flags.m_deviceOpen.store(1);
  }
};

namespace {

/// The slot's view of its burn: forwards the statuses as events (a few per
/// stage, not one per block) and remembers how far the burn got.
class SlotSink : public BurnStatusSink {
 public:
  SlotSink(std::function<void(StationEvent)> emit, StationEvent base, long total)
      : m_emit(std::move(emit)), m_base(std::move(base)), m_total(total) {}

  void PostStatus(unsigned code, long count) override {
    if (code == BURN_DOWNLOADING) m_written = std::max(m_written, count);
    if (code == BURN_VERIFYING) {
      // The verify's last post carries the image size (a 1-byte image has
      // nothing to compare): from here on the commit and the serial follow.
      if (count >= m_total - 1) m_verified = true;
    }
    const bool progress = code == BURN_DOWNLOADING || code == BURN_VERIFYING;
    const long step = std::max(1L, m_total / 20);
    if (code == m_lastCode && progress && count < m_total && count - m_lastCount < step) return;
    m_lastCode = code;
    m_lastCount = count;
    StationEvent event = m_base;
    event.m_kind = StationEventKind::kStatus;
    event.m_code = code;
    event.m_count = count;
    event.m_total = progress ? m_total : 0;
    event.m_text = BurnStatusText(code);
    m_emit(std::move(event));
  }
  void ShowStopNotice(const std::string&, const std::string&) override {}
  void DeviceInfoRefreshed(const std::string& version, const std::string& cur) override {
    m_version = version;
    m_cur = cur;
  }

  unsigned LastCode() const { return m_lastCode; }
  long Written() const { return m_written; }
  /// The burn got past its verify: the descriptor may have reached the device.
  bool PastVerify() const { return m_verified; }
  const std::string& Version() const { return m_version; }
  const std::string& Cur() const { return m_cur; }

 private:
  std::function<void(StationEvent)> m_emit;
  StationEvent m_base;
  long m_total;
  unsigned m_lastCode = BURN_IDLE;
  long m_lastCount = 0;
  long m_written = 0;
  bool m_verified = false;
  std::string m_version;
  std::string m_cur;
};

}  // namespace

Station::Station(HidBackend& backend, RecordStore& store, StationConfig config,
                 StationEvents& events)
    : m_backend(backend), m_store(store), m_config(std::move(config)), m_events(events) {}

Station::~Station() {
  for (auto& [port, slot] : m_slots) {
    slot->m_flags.m_cancelRequested.store(1);
    if (slot->m_thread.joinable()) slot->m_thread.join();
  }
}

void Station::Emit(StationEvent event) {
  std::lock_guard<std::mutex> lock(m_eventGuard);
  m_events.OnEvent(event);
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

void Station::Count(const std::string& outcome) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (outcome == kOutcomePassed) ++m_summary.m_passed;
  if (outcome == kOutcomeFailed) ++m_summary.m_failed;
  if (outcome == kOutcomeStopped) ++m_summary.m_stopped;
  if (outcome == kOutcomeRefused) ++m_summary.m_refused;
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
  m_backend.SetDeviceChangeListener([this](int) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_changed = true;
    }
    m_wake.notify_all();
  });
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

void Station::Poll() {
  m_backend.ProcessDeviceChanges();
  // The first path of each port with a candidate interface.
  std::map<std::string, HidInterfaceInfo> present;
  for (const HidInterfaceInfo& info : m_backend.Enumerate()) {
    if (Candidate(info)) present.emplace(PortOf(info), info);
  }
  const int interrupts = m_config.m_interrupts ? m_config.m_interrupts->load() : 0;

  std::vector<StationEvent> events;
  std::vector<Slot*> started;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (interrupts >= 1 && m_accepting) {
      m_accepting = false;
      StationEvent notice;
      notice.m_kind = StationEventKind::kNotice;
      notice.m_text =
          "stopping: no new devices are taken; running burns finish (Ctrl+C again stops them)";
      events.push_back(std::move(notice));
    }
    for (auto it = m_slots.begin(); it != m_slots.end();) {
      Slot& slot = *it->second;
      const auto found = present.find(slot.m_port);
      if (slot.m_present && (found == present.end() || found->second.m_path != slot.m_path)) {
        // Unplugged (or replaced between two looks): a burn stops at its next block.
        slot.m_present = false;
        slot.m_flags.m_deviceOpen.store(0);
      }
      // Set on every look: a burn clears the flag when it begins.
      if (interrupts >= 2) slot.m_flags.m_cancelRequested.store(1);
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
        auto slot = std::make_unique<Slot>(m_backend, port, info.m_path, DeviceIds(info));
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

void Station::RunSlot(Slot& slot) {
  StationEvent base;
  base.m_port = slot.m_port;
  base.m_path = slot.m_path;
  base.m_device = slot.m_device;
  const auto emit = [this](StationEvent event) { Emit(std::move(event)); };
  const auto finish = [&] {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_changed = true;
    }
    m_wake.notify_all();
    slot.m_ended.store(true);
  };
  const std::vector<std::uint8_t>& image = m_config.m_image->ImageData();

  UnitRecord record;
  record.m_startedAt = UtcNowIso8601();
  record.m_station = m_config.m_stationName;
  record.m_port = slot.m_port;
  record.m_device = slot.m_device;
  record.m_imagePath = m_config.m_imagePath;
  record.m_imageSize = static_cast<std::int64_t>(image.size());
  record.m_imageSha256 = m_config.m_imageSha256;
  record.m_toolVersion = m_config.m_toolVersion;
  const auto endRecord = [&](const char* outcome, const std::string& message) {
    record.m_outcome = outcome;
    record.m_message = message;
    record.m_endedAt = UtcNowIso8601();
    record.m_durationMs = static_cast<std::int64_t>(SecondsSince(slot.m_arrived) * 1000);
  };
  const auto refuse = [&](const std::string& message) {
    endRecord(kOutcomeRefused, message);
    std::string error;
    if (!m_store.AddUnit(&record, &error)) Fatal("record store: " + error);
    StationEvent event = base;
    event.m_kind = StationEventKind::kRefused;
    event.m_text = message;
    event.m_seconds = SecondsSince(slot.m_arrived);
    emit(std::move(event));
    Count(kOutcomeRefused);
  };

  // Only this port's interfaces: the devices burning on the other ports are
  // not probed under their burns.
  const std::string port = slot.m_port;
  slot.m_hid.Scan([&port](const HidInterfaceInfo& info) { return PortOf(info) == port; });
  if (slot.m_hid.Entries().empty()) {
    std::string reason;
    for (const HidSkippedInterface& skipped : slot.m_hid.Skipped()) {
      if (Candidate(skipped.m_info)) {
        reason = skipped.m_reason;
        break;
      }
    }
    // A device that left before it could be looked at needs no record.
    if (!reason.empty()) refuse("cannot use the device: " + reason);
    finish();
    return;
  }
  const HidDeviceManager::Entry entry = slot.m_hid.Entries().front();
  slot.m_hid.Open(entry);
  if (const std::string refusal = Refusal(*entry, image); !refusal.empty()) {
    refuse(refusal);
    finish();
    return;
  }
  // Held until the unit is done: no other program burns or reads it meanwhile.
  std::string claimError;
  const DeviceClaimPtr claim = slot.m_hid.Claim(entry, &claimError);
  if (!claim) {
    refuse("cannot use the device: " + claimError);
    finish();
    return;
  }
  if (!ClaimUnit()) {
    finish();
    return;
  }
  record.m_versionBefore = ReadDeviceVersion(slot.m_hid).value_or(kNoEepromText);
  record.m_curBefore = ReadDeviceCur(slot.m_hid);

  StationEvent finished = base;
  finished.m_kind = StationEventKind::kFinished;
  const auto report = [&](const char* outcome, const std::string& text) {
    finished.m_outcome = outcome;
    finished.m_serial = record.m_serial;
    finished.m_text = text;
    finished.m_seconds = SecondsSince(slot.m_arrived);
    emit(finished);
    Count(outcome);
  };

  if (!m_config.m_backupDir.empty()) {
    std::vector<std::uint8_t> eeprom(EEPROM_BYTES);
    const EepromWalkResult walk = ReadEepromRange(
        slot.m_hid, 0, EEPROM_BYTES, [&](std::uint32_t address, std::span<const std::uint8_t> b) {
          std::copy(b.begin(), b.end(), eeprom.begin() + address);
          return true;
        });
    const std::string file =
        (std::filesystem::path(m_config.m_backupDir) /
         FileSafe(record.m_startedAt.substr(0, 19) + "-" + slot.m_port + ".eeprom"))
            .string();
    std::string error;
    if (walk.m_outcome != EepromWalk::kDone) {
      error = "reading the EEPROM failed at " + std::to_string(walk.m_address);
    } else if (!WriteFileReplacing(file, eeprom, &error)) {
      error = "cannot save it: " + error;
    }
    if (!error.empty()) {
      const std::string message = "backup: " + error + "; nothing was burned";
      endRecord(kOutcomeFailed, message);
      if (!m_store.AddUnit(&record, &error)) Fatal("record store: " + error);
      report(kOutcomeFailed, message);
      finish();
      return;
    }
    record.m_backupFile = file;
  }

  std::string error;
  if (!m_store.StartUnit(&record, m_config.m_serials ? &*m_config.m_serials : nullptr, &error)) {
    Fatal("record store: " + error);
    refuse("not burned: no serial could be reserved (" + error + ")");
    finish();
    return;
  }
  StationEvent started = base;
  started.m_kind = StationEventKind::kStarted;
  started.m_serial = record.m_serial;
  emit(started);

  SlotSink sink(
      emit,
      [&] {
        StationEvent e = base;
        e.m_serial = record.m_serial;
        return e;
      }(),
      static_cast<long>(image.size()));
  BurnResult result;
  {
    BurnWorker worker(slot.m_hid, slot.m_flags, sink, m_config.m_sleep);
    result = worker.RunSynchronously(BurnJob{m_config.m_image, Utf8ToUtf16(record.m_serial)});
  }
  const char* outcome = kOutcomeFailed;
  SerialFate fate = SerialFate::kSpent;
  std::string message;
  switch (result) {
    case BurnResult::kDone:
      outcome = kOutcomePassed;
      fate = SerialFate::kUsed;
      break;
    case BurnResult::kStopped:
      outcome = kOutcomeStopped;
      // A stop comes only before the commit: the serial never reached the device.
      fate = SerialFate::kReturned;
      message = slot.m_flags.m_deviceOpen.load() == 0
                    ? "unplugged during the burn: the device holds no valid image"
                    : "stopped before the commit: the device holds no valid image; burn it again";
      break;
    case BurnResult::kFailed:
    case BurnResult::kAlreadyRunning:
      fate = sink.PastVerify() ? SerialFate::kSpent : SerialFate::kReturned;
      if (slot.m_flags.m_deviceOpen.load() == 0 || !slot.m_hid.IsPresent(slot.m_path)) {
        // The failed transfer was the device leaving: the operator pulled it.
        outcome = kOutcomeStopped;
        message = "unplugged during the burn";
      } else {
        message = BurnStatusText(sink.LastCode());
      }
      message += sink.PastVerify() ? " after the verify; its serial is spent"
                                   : "; the device holds no valid image";
      break;
  }
  record.m_statusCode = static_cast<int>(sink.LastCode());
  record.m_statusText = BurnStatusText(sink.LastCode());
  record.m_bytes = sink.Written();
  record.m_versionAfter = sink.Version();
  record.m_curAfter = sink.Cur();
  endRecord(outcome, message);
  if (!m_store.FinishUnit(record, fate, &error)) Fatal("record store: " + error);
  finished.m_code = sink.LastCode();
  finished.m_version = sink.Version();
  finished.m_cur = sink.Cur();
  report(outcome, message.empty() ? BurnStatusText(sink.LastCode()) : message);
  finish();
}

}  // namespace tessarin
