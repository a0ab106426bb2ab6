#include "hid/hid_device_manager.h"

#include <cstring>
#include <utility>

namespace tessarin {

namespace {

// The transport of the entry's mode: output/input reports on the write and
// read handles in mode 1, feature reports on the feature handle otherwise. A
// handle that is not open fails the call, like an invalid OS handle does.
bool Send(ReportMode mode, HidHandle* feature, HidHandle* write, const ReportFrame& request) {
  if (mode == REPORT_MODE_OUTPUT_INPUT) {
    return write != nullptr && write->SetOutputReport(request.data(), request.size());
  }
  return feature != nullptr && feature->SetFeature(request.data(), request.size());
}

bool Fetch(ReportMode mode, HidHandle* feature, HidHandle* read, ReportFrame& reply) {
  reply[0] = 0x00;
  if (mode == REPORT_MODE_OUTPUT_INPUT) {
    return read != nullptr && read->GetInputReport(reply.data(), reply.size());
  }
  return feature != nullptr && feature->GetFeature(reply.data(), reply.size());
}

bool Send(const HidDeviceEntry& entry, const ReportFrame& request) {
  return Send(entry.reportMode, entry.featureHandle.get(), entry.writeHandle.get(), request);
}

bool Fetch(const HidDeviceEntry& entry, ReportFrame& reply) {
  return Fetch(entry.reportMode, entry.featureHandle.get(), entry.readHandle.get(), reply);
}

std::string LengthsText(const HidInterfaceInfo& info) {
  return "output report " + std::to_string(info.m_outputReportByteLength) +
         " bytes, feature report " + std::to_string(info.m_featureReportByteLength) + " bytes";
}

}  // namespace

std::string SkipReasonText(SkipReason why) {
  switch (why) {
    case SkipReason::kBusy:
      return "busy: another program is burning or reading it";
    case SkipReason::kLockBusy:
      return "not probed: the device lock stayed busy for " +
             std::to_string(HidDeviceManager::kLockWait.count()) + " ms";
    case SkipReason::kNoAnswer:
      return "no answer to the probe";
    case SkipReason::kNotExamined:
    case SkipReason::kNoReportLength:
    case SkipReason::kCannotOpen:
      break;
  }
  return "";
}

HidDeviceManager::HidDeviceManager(HidBackend& backend) : m_backend(backend) {}

void HidDeviceManager::Skip(const HidInterfaceInfo& info, SkipReason why) {
  m_skipped.push_back({info, why, SkipReasonText(why)});
}

void HidDeviceManager::SkipUnopened(const HidInterfaceInfo& info, const std::string& error) {
  m_skipped.push_back(
      {info, SkipReason::kCannotOpen, error.empty() ? "cannot open " + info.m_path : error});
}

HidDeviceManager::~HidDeviceManager() { Clear(); }

HidDeviceManager::Entry HidDeviceManager::Current() const {
  std::lock_guard<std::mutex> guard(m_currentGuard);
  return m_current;
}

void HidDeviceManager::Clear() {
  {
    std::lock_guard<std::mutex> guard(m_currentGuard);
    m_current.reset();
  }
  // An entry an exchange still holds lives on until that exchange lets go;
  // its handles are closed then, on that thread.
  m_list.clear();
  m_skipped.clear();
}

DeviceClaimPtr HidDeviceManager::Claim(const Entry& entry, std::string* error) {
  if (!entry) return nullptr;
  bool busy = false;
  DeviceClaimPtr claim = m_backend.Claim(entry->devicePath, &busy);
  if (!claim && error) {
    *error = "device busy: another program is burning or reading " + entry->devicePath +
             "; wait until it has finished, then try again";
  }
  return claim;
}

bool HidDeviceManager::IsPresent(const std::string& devicePath) {
  for (const HidInterfaceInfo& info : m_backend.Enumerate()) {
    if (info.m_path == devicePath) return true;
  }
  return false;
}

void HidDeviceManager::SetDeviceChangeListener(DeviceChangeListener listener) {
  m_backend.SetDeviceChangeListener(std::move(listener));
}

HidDeviceManager::Entry HidDeviceManager::Scan() { return Scan({}); }

HidDeviceManager::Entry HidDeviceManager::Scan(
    const std::function<bool(const HidInterfaceInfo&)>& accept) {
  Clear();
  for (const HidInterfaceInfo& info : m_backend.Enumerate()) {
    if (accept && !accept(info)) continue;
    if (!info.m_error.empty()) {
      m_skipped.push_back({info, SkipReason::kNotExamined, info.m_error});
      continue;
    }
    // The enumeration already knows the report lengths, so an interface that
    // can never qualify is passed over before anything is opened: a keyboard
    // the user may not open is then not reported as a permission problem.
    const ReportMode mode =
        ChooseReportMode(info.m_outputReportByteLength, info.m_featureReportByteLength);
    if (mode == REPORT_MODE_NONE) {
      m_skipped.push_back(
          {info, SkipReason::kNoReportLength,
           "no " + std::to_string(REPORT_LENGTH) + "-byte report: " + LengthsText(info)});
      continue;
    }
    bool busy = false;
    const DeviceClaimPtr claim = m_backend.Claim(info.m_path, &busy);
    if (!claim) {
      Skip(info, SkipReason::kBusy);
      continue;
    }
    std::string error;
    HidHandlePtr query = m_backend.Open(info.m_path, HidOpenMode::kQuery, &error);
    if (!query) {
      SkipUnopened(info, error);
      continue;
    }
    HidHandlePtr write;
    HidHandlePtr read;
    if (mode == REPORT_MODE_OUTPUT_INPUT) {
      // A handle that fails to open makes the probe fail; its reason is the
      // more useful one to keep.
      write = m_backend.Open(info.m_path, HidOpenMode::kWrite, &error);
      if (write) read = m_backend.Open(info.m_path, HidOpenMode::kRead, &error);
      if (!write || !read) {
        SkipUnopened(info, error);
        continue;
      }
    }
    switch (ProbeInterface(mode, query.get(), write.get(), read.get())) {
      case ProbeResult::kAnswered: {
        auto entry = std::make_shared<HidDeviceEntry>();
        entry->vendorId = info.m_vendorId;
        entry->productId = info.m_productId;
        entry->reportMode = mode;
        entry->devicePath = info.m_path;
        entry->port = info.m_port;
        m_list.push_back(std::move(entry));
        break;
      }
      case ProbeResult::kLockBusy:
        Skip(info, SkipReason::kLockBusy);
        break;
      case ProbeResult::kNoAnswer:
        Skip(info, SkipReason::kNoAnswer);
        break;
    }
  }
  return m_list.empty() ? nullptr : m_list.front();
}

bool HidDeviceManager::Open(const Entry& entry) {
  if (!entry) return false;
  // Only an entry that has never been opened gets handles, so no handle an
  // exchange on another thread may be holding is ever replaced under it.
  if (!entry->opened) {
    entry->opened = true;
    if (entry->reportMode == REPORT_MODE_FEATURE) {
      entry->featureHandle = m_backend.Open(entry->devicePath, HidOpenMode::kQuery, nullptr);
    } else {
      entry->writeHandle = m_backend.Open(entry->devicePath, HidOpenMode::kWrite, nullptr);
      entry->readHandle = m_backend.Open(entry->devicePath, HidOpenMode::kRead, nullptr);
    }
  }
  std::lock_guard<std::mutex> guard(m_currentGuard);
  m_current = entry;
  return true;
}

bool HidDeviceManager::WriteBlock(std::uint32_t address, const std::uint8_t* data, int length) {
  if (length < 0 || length > WRITE_BLOCK_MAX) return false;
  if (length > 0 && data == nullptr) return false;
  ReportFrame request = WriteRequestFrame(address, length);
  if (length > 0) {
    std::memcpy(request.data() + WRITE_DATA_OFFSET, data, static_cast<std::size_t>(length));
  }
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const Entry entry = Current();
    if (!entry) return false;
    if (Send(*entry, request)) return true;
  }
  return false;
}

bool HidDeviceManager::ReadBlock(std::uint32_t address, int length, std::uint8_t* out) {
  if (length < 0 || length > READ_BLOCK_MAX) return false;
  if (length > 0 && out == nullptr) return false;
  if (!Current()) return false;
  const ReportFrame request = ReadRequestFrame(address, length);
  ReportFrame reply{};
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::unique_lock<DeviceMutex> lock(m_mutex, std::defer_lock);
    if (!lock.try_lock_for(kReadLockWait)) continue;
    Entry entry = Current();
    if (!entry) return false;
    if (!Send(*entry, request)) continue;
    entry = Current();
    if (!entry) return false;
    const bool fetched = Fetch(*entry, reply);
    lock.unlock();
    if (!fetched) continue;
    if (length > 0) {
      std::memcpy(out, reply.data() + REPLY_DATA_OFFSET, static_cast<std::size_t>(length));
    }
    return true;
  }
  return false;
}

namespace {

// One locked exchange on the current entry: the query commands and, without
// a reply, the prepare-write command.
template <typename CurrentFn>
bool LockedExchange(DeviceMutex& mutex, CurrentFn current, const ReportFrame& request,
                    ReportFrame* reply) {
  if (!current()) return false;
  std::unique_lock<DeviceMutex> lock(mutex, std::defer_lock);
  if (!lock.try_lock_for(HidDeviceManager::kLockWait)) return false;
  auto entry = current();
  if (!entry || !Send(*entry, request)) return false;
  if (reply == nullptr) return true;
  entry = current();
  return entry && Fetch(*entry, *reply);
}

}  // namespace

bool HidDeviceManager::QueryPagedWrite(bool& paged) {
  ReportFrame reply{};
  if (!LockedExchange(
          m_mutex, [this] { return Current(); }, RequestFrame(CMD_QUERY_PAGED_WRITE, 0x01, 0, 0),
          &reply)) {
    return false;
  }
  paged = reply[1] != 0;
  return true;
}

bool HidDeviceManager::PrepareWrite() {
  return LockedExchange(
      m_mutex, [this] { return Current(); }, RequestFrame(CMD_PREPARE_WRITE, 0, 0, 0x01), nullptr);
}

bool HidDeviceManager::QueryReady(bool& ready) {
  ReportFrame reply{};
  if (!LockedExchange(
          m_mutex, [this] { return Current(); }, RequestFrame(CMD_QUERY_READY, 0x01, 0, 0),
          &reply)) {
    return false;
  }
  ready = reply[1] != 0;
  return true;
}

HidDeviceManager::ProbeResult HidDeviceManager::ProbeInterface(ReportMode mode,
                                                               HidHandle* featureHandle,
                                                               HidHandle* writeHandle,
                                                               HidHandle* readHandle) {
  const ReportFrame request = RequestFrame(CMD_PROBE, 0x80, 0xC0, 0x01);
  std::unique_lock<DeviceMutex> lock(m_mutex, std::defer_lock);
  if (!lock.try_lock_for(kLockWait)) return ProbeResult::kLockBusy;
  if (!Send(mode, featureHandle, writeHandle, request)) return ProbeResult::kNoAnswer;
  ReportFrame reply{};
  return Fetch(mode, featureHandle, readHandle, reply) ? ProbeResult::kAnswered
                                                       : ProbeResult::kNoAnswer;
}

bool HidDeviceManager::Probe(ReportMode mode, HidHandle* featureHandle, HidHandle* writeHandle,
                             HidHandle* readHandle) {
  return ProbeInterface(mode, featureHandle, writeHandle, readHandle) == ProbeResult::kAnswered;
}

}  // namespace tessarin
