#include "sim/sim_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/file_io.h"

namespace tessarin {

namespace {

constexpr std::uint32_t ADDRESS_MASK = EEPROM_BYTES - 1;
constexpr std::size_t kFrameBytes = REPORT_LENGTH;

// Reads a whole file of at most EEPROM_BYTES bytes into the front of `eeprom`.
bool LoadFile(const std::string& path, std::uint8_t* eeprom, std::string* error) {
  const WholeFile file = ReadWholeFile(path, EEPROM_BYTES);
  switch (file.m_failure) {
    case FileReadFailure::kNone:
      std::copy(file.m_bytes.begin(), file.m_bytes.end(), eeprom);
      return true;
    case FileReadFailure::kTooLarge:
      *error = path + ": " + std::to_string(file.m_fileSize) + " bytes, more than the " +
               std::to_string(EEPROM_BYTES) + "-byte EEPROM";
      return false;
    case FileReadFailure::kCannotOpen:
      *error = file.m_error;
      return false;
    case FileReadFailure::kReadError:
      break;
  }
  *error = "read " + path + ": " + file.m_error;
  return false;
}

int ModeIndex(HidOpenMode mode) { return static_cast<int>(mode); }

}  // namespace

// Holds the device's in-process flag and, for a kept EEPROM, its lock file.
class SimDeviceClaim final : public DeviceClaim {
 public:
  SimDeviceClaim(std::shared_ptr<SimDevice> device, std::optional<FileLock> lock)
      : m_device(std::move(device)), m_lock(std::move(lock)) {}
  ~SimDeviceClaim() override { m_device->ReleaseClaim(); }

 private:
  std::shared_ptr<SimDevice> m_device;
  std::optional<FileLock> m_lock;
};

SimDevice::SimDevice(SimDeviceConfig config, std::shared_ptr<SimClock> clock)
    : m_config(std::move(config)), m_clock(std::move(clock)) {
  bool fresh = true;
  if (!m_config.m_eepromFile.empty()) {
    m_kept =
        SharedFileMapping::Open(m_config.m_eepromFile, EEPROM_BYTES, 0xFF, &fresh, &m_loadError);
  }
  if (m_kept) {
    m_eeprom = m_kept->Data();
  } else {
    m_memory.assign(EEPROM_BYTES, 0xFF);
    m_eeprom = m_memory.data();
  }
  // The image becomes the EEPROM of a new device; a kept one has its own.
  if (m_loadError.empty() && fresh && !m_config.m_imageFile.empty()) {
    LoadFile(m_config.m_imageFile, m_eeprom, &m_loadError);
  }
  if (!m_loadError.empty()) std::fill(m_eeprom, m_eeprom + EEPROM_BYTES, 0xFF);
}

SimDevice::~SimDevice() = default;

HidInterfaceInfo SimDevice::Info() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  HidInterfaceInfo info;
  info.m_vendorId = m_config.m_vendorId;
  info.m_productId = m_config.m_productId;
  info.m_outputReportByteLength = m_config.m_outputReportByteLength;
  info.m_featureReportByteLength = m_config.m_featureReportByteLength;
  info.m_error = m_config.m_enumerateError;
  return info;
}

std::string SimDevice::LoadError() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_loadError;
}

bool SimDevice::TransferAllowed(HidReportType type, std::size_t length) const {
  if (length != kFrameBytes) return false;
  switch (type) {
    case HidReportType::kOutput:
      return m_config.m_outputReportByteLength == kFrameBytes;
    case HidReportType::kInput:
      return m_config.m_inputReportByteLength == kFrameBytes;
    case HidReportType::kFeature:
      return m_config.m_featureReportByteLength == kFrameBytes;
  }
  return false;
}

bool SimDevice::GoneLocked() const {
  return m_config.m_vanishAfterFrames >= 0 && m_sends + m_fetches >= m_config.m_vanishAfterFrames;
}

void SimDevice::Log(FrameTransfer transfer, bool ok, const std::uint8_t* bytes,
                    std::size_t length) {
  if (!m_logging) return;
  SimFrame frame;
  frame.m_transfer = transfer;
  frame.m_ok = ok;
  if (bytes != nullptr) std::memcpy(frame.m_bytes.data(), bytes, std::min(length, kFrameBytes));
  m_frames.push_back(frame);
}

void SimDevice::WaitLatency() {
  // The latency never changes after construction, so it is read without the
  // lock, and slept outside it: the other thread's transfer can run meanwhile.
  if (m_config.m_latency.count() > 0 && m_clock) m_clock->Sleep(m_config.m_latency);
}

template <typename Exchange>
bool SimDevice::Transfer(Exchange&& exchange) {
  WaitLatency();
  bool ok = false;
  std::function<void()> vanished;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool gone = GoneLocked();
    ok = exchange(gone);
    if (!gone && GoneLocked()) vanished = m_onVanish;
  }
  // As a real removal does, the planned one is announced (without the lock).
  if (vanished) vanished();
  return ok;
}

bool SimDevice::HandleSend(HidReportType type, const std::uint8_t* report, std::size_t length) {
  return Transfer([&](bool gone) {
    const long ordinal = ++m_sends;
    const bool ok = !gone && report != nullptr && type != HidReportType::kInput &&
                    TransferAllowed(type, length) && m_config.m_failSends.count(ordinal) == 0;
    if (ok) Execute(report);
    Log(type == HidReportType::kFeature ? FrameTransfer::kSendFeature : FrameTransfer::kSendOutput,
        ok, ok ? report : nullptr, length);
    return ok;
  });
}

bool SimDevice::HandleFetch(HidReportType type, std::uint8_t* report, std::size_t length) {
  return Transfer([&](bool gone) {
    const long ordinal = ++m_fetches;
    const bool ok = !gone && report != nullptr && type != HidReportType::kOutput &&
                    TransferAllowed(type, length) && m_config.m_failFetches.count(ordinal) == 0 &&
                    m_hasReply;
    if (ok) std::memcpy(report, m_reply.data(), kFrameBytes);
    Log(type == HidReportType::kFeature ? FrameTransfer::kFetchFeature : FrameTransfer::kFetchInput,
        ok, ok ? m_reply.data() : nullptr, kFrameBytes);
    return ok;
  });
}

DeviceClaimPtr SimDevice::Claim(bool* busy) {
  *busy = false;
  std::string eepromFile;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_claimed) {
      *busy = true;
      return nullptr;
    }
    m_claimed = true;
    eepromFile = m_config.m_eepromFile;
  }
  std::optional<FileLock> fileLock;
  if (!eepromFile.empty()) {
    // A lock file that cannot be made (a read-only folder) locks nothing.
    fileLock = FileLock::TryLock(eepromFile + ".lock", busy, nullptr);
    if (!fileLock && *busy) {
      ReleaseClaim();
      return nullptr;
    }
  }
  return std::make_unique<SimDeviceClaim>(shared_from_this(), std::move(fileLock));
}

bool SimDevice::Claimed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_claimed;
}

void SimDevice::ReleaseClaim() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_claimed = false;
}

void SimDevice::SetVanishListener(std::function<void()> onVanish) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_onVanish = std::move(onVanish);
}

void SimDevice::Execute(const std::uint8_t* request) {
  const std::uint32_t address = (static_cast<std::uint32_t>(request[2]) << 8) | request[3];
  switch (request[1]) {
    case CMD_WRITE_EEPROM: {
      const int n = std::min<int>(request[4], WRITE_BLOCK_MAX);
      for (int i = 0; i < n; ++i)
        m_eeprom[(address + i) & ADDRESS_MASK] = request[WRITE_DATA_OFFSET + i];
      m_notReadyLeft = m_config.m_readyAfter;
      break;
    }
    case CMD_READ_EEPROM: {
      const int n = std::min<int>(request[4], READ_BLOCK_MAX);
      m_reply.fill(0);
      for (int i = 0; i < n; ++i) {
        const std::uint32_t a = (address + i) & ADDRESS_MASK;
        const std::uint8_t flip = m_config.m_corruptAddresses.count(a) != 0 ? 0xFF : 0x00;
        m_reply[REPLY_DATA_OFFSET + i] = m_eeprom[a] ^ flip;
      }
      m_hasReply = true;
      break;
    }
    case CMD_PROBE:
      m_reply.fill(0);
      m_hasReply = m_config.m_answersProbe;
      break;
    case CMD_QUERY_PAGED_WRITE:
      m_reply.fill(0);
      m_reply[REPLY_DATA_OFFSET] = m_config.m_pagedWrite ? 1 : 0;
      m_hasReply = true;
      break;
    case CMD_PREPARE_WRITE:
      m_notReadyLeft = m_config.m_readyAfter;
      break;
    case CMD_QUERY_READY: {
      bool ready = false;
      if (m_config.m_readyAfter != SimDeviceConfig::kReadyNever) {
        ready = m_notReadyLeft <= 0;
        if (!ready) --m_notReadyLeft;
      }
      m_reply.fill(0);
      m_reply[REPLY_DATA_OFFSET] = ready ? 1 : 0;
      m_hasReply = true;
      break;
    }
    default:
      // An unknown command is taken and not answered; the last reply stays.
      break;
  }
}

std::vector<std::uint8_t> SimDevice::Eeprom() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return {m_eeprom, m_eeprom + EEPROM_BYTES};
}

void SimDevice::SetEeprom(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    m_eeprom[(address + i) & ADDRESS_MASK] = bytes[i];
  }
}

void SimDevice::SetAnswersProbe(bool answers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_answersProbe = answers;
}

void SimDevice::SetPagedWrite(bool paged) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_pagedWrite = paged;
}

void SimDevice::FailSend(long ordinal) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_failSends.insert(ordinal);
}

void SimDevice::FailFetch(long ordinal) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_failFetches.insert(ordinal);
}

void SimDevice::CorruptAt(std::uint32_t address) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_corruptAddresses.insert(address & ADDRESS_MASK);
}

void SimDevice::VanishAfter(long frames) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_vanishAfterFrames = frames;
}

bool SimDevice::Vanished() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return GoneLocked();
}

void SimDevice::Reattach() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.m_vanishAfterFrames = -1;
}

bool SimDevice::DenyOpen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_config.m_denyOpen;
}

std::vector<SimFrame> SimDevice::Frames() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_frames;
}

std::vector<SimFrame> SimDevice::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<SimFrame> requests;
  for (const SimFrame& frame : m_frames) {
    const bool send = frame.m_transfer == FrameTransfer::kSendOutput ||
                      frame.m_transfer == FrameTransfer::kSendFeature;
    if (send && frame.m_ok) requests.push_back(frame);
  }
  return requests;
}

void SimDevice::ClearFrames() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_frames.clear();
}

void SimDevice::SetLogging(bool on) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_logging = on;
}

long SimDevice::Sends() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sends;
}

long SimDevice::Fetches() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_fetches;
}

int SimDevice::OpenHandles() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openHandles[0] + m_openHandles[1] + m_openHandles[2];
}

int SimDevice::OpenHandles(HidOpenMode mode) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openHandles[ModeIndex(mode)];
}

void SimDevice::HandleOpened(HidOpenMode mode) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_openHandles[ModeIndex(mode)];
}

void SimDevice::HandleClosed(HidOpenMode mode) {
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_openHandles[ModeIndex(mode)];
}

}  // namespace tessarin
