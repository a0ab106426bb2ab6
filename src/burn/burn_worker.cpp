#include "burn/burn_worker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>
#include <utility>

#include "hid/device_info.h"
#include "hid/eeprom_range.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"

namespace tessarin {

namespace {

constexpr std::uint8_t INVALID_COMMIT_BYTE = 0xFF;
constexpr std::uint8_t STRING_DESCRIPTOR_TYPE = 0x03;
constexpr int SERIAL_BYTES_MAX = 2 * SERIAL_UNITS_MAX + 2;  // 64: one read block

static_assert(SERIAL_BYTES_MAX <= READ_BLOCK_MAX);

void RealSleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

/// What the descriptor step writes at SERIAL_ADDRESS: the string descriptor
/// of the serial's first SERIAL_UNITS_MAX code units, or for an empty serial
/// the clear (0xFF in the length and type bytes).
std::vector<std::uint8_t> SerialDescriptor(const std::u16string& serialNo) {
  const std::size_t units = std::min<std::size_t>(serialNo.size(), SERIAL_UNITS_MAX);
  if (units == 0) return {0xFF, 0xFF};
  std::vector<std::uint8_t> descriptor(2 * units + 2);
  descriptor[0] = static_cast<std::uint8_t>(descriptor.size());
  descriptor[1] = STRING_DESCRIPTOR_TYPE;
  for (std::size_t i = 0; i < units; ++i) {
    descriptor[2 + 2 * i] = static_cast<std::uint8_t>(serialNo[i] & 0xFF);
    descriptor[3 + 2 * i] = static_cast<std::uint8_t>(serialNo[i] >> 8);
  }
  return descriptor;
}

}  // namespace

BurnWorker::BurnWorker(HidDeviceManager& hid, BurnFlags& flags, BurnStatusSink& sink,
                       BurnSleep sleep)
    : m_hid(hid), m_flags(flags), m_sink(sink), m_sleep(sleep ? std::move(sleep) : RealSleep) {}

BurnWorker::~BurnWorker() { Wait(); }

bool BurnWorker::Start(BurnJob job) {
  bool idle = false;
  // Claimed here, on the front end's thread, so a second press of Burn and a
  // close right after the first press both see the burn as running.
  if (!m_flags.m_workerRunning.compare_exchange_strong(idle, true)) return false;
  // A previous thread has cleared the flag; at most its last call to the sink
  // is left, so this join is short.
  if (m_thread.joinable()) m_thread.join();
  m_flags.m_cancelRequested.store(false);
  try {
    m_thread = std::thread([this, job = std::move(job)] { ThreadRoutine(job); });
  } catch (const std::system_error&) {
    m_flags.m_workerRunning.store(false);
    return false;
  }
  return true;
}

void BurnWorker::Wait() {
  if (m_thread.joinable()) m_thread.join();
}

bool BurnWorker::Running() const { return m_flags.m_workerRunning.load(); }

BurnResult BurnWorker::RunSynchronously(BurnJob job) {
  bool idle = false;
  if (!m_flags.m_workerRunning.compare_exchange_strong(idle, true)) {
    return BurnResult::kAlreadyRunning;
  }
  Wait();
  m_flags.m_cancelRequested.store(false);
  return ThreadRoutine(job);
}

BurnResult BurnWorker::ThreadRoutine(const BurnJob& job) {
  const BurnResult result = RunBurn(job);
  if (result == BurnResult::kStopped) {
    // A stop while a device is still open came from a cancel: tell the user
    // the device holds no valid image now. A removed device needs no notice.
    if (m_flags.m_deviceOpen.load()) m_sink.ShowStopNotice("Downloading failed.", "Error");
    m_sink.PostStatus(BurnStatus::BURN_IDLE, 0);
  }
  m_flags.m_workerRunning.store(false);
  m_sink.WorkerFinished();
  return result;
}

bool BurnWorker::StopRequested() const {
  return !m_flags.m_deviceOpen.load() || m_flags.m_cancelRequested.load();
}

BurnResult BurnWorker::Fail(BurnStatus status) {
  m_sink.PostStatus(status, 0);
  return BurnResult::kFailed;
}

ReadyResult BurnWorker::WaitDeviceReady() {
  for (int i = 0; i < kReadyQueriesMax; ++i) {
    bool ready = false;
    if (!m_hid.QueryReady(ready)) {
      m_sink.PostStatus(BurnStatus::BURN_DOWNLOAD_FAILED, 0);
      return ReadyResult::kQueryFailed;
    }
    if (ready) return ReadyResult::kReady;
  }
  return ReadyResult::kNeverReady;
}

BurnResult BurnWorker::RunBurn(const BurnJob& job) {
  // An empty image has no commit byte and nothing to verify; refusing it here
  // leaves the device untouched instead of invalidating its current image.
  if (!job.m_image || job.m_image->ImageData().empty()) return Fail(BurnStatus::BURN_VERIFY_FAILED);
  // Addresses are 16-bit; a larger image would wrap over its own start.
  if (job.m_image->ImageData().size() > EEPROM_BYTES) return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  const bool changedOnly = job.m_scope == BurnScope::kChangedBlocks;

  m_sink.PostStatus(changedOnly ? BurnStatus::BURN_COMPARING : BurnStatus::BURN_DOWNLOADING, 0);
  // m_cancelRequested was cleared when the burn was started; clearing it here
  // again would lose a stop requested in between.

  // The burn's own copy: the caller's bytes are never changed, and byte 0 goes
  // out as 0xFF until the commit.
  std::vector<std::uint8_t> image(job.m_image->ImageData());
  const std::uint8_t commitByte = image[0];

  bool paged = false;
  if (!m_hid.QueryPagedWrite(paged)) paged = false;

  // A re-burn reads before it writes, so its 0xFF cannot wait for a first
  // block: the device must not hold a valid commit byte once any block of
  // the new image may be on it.
  if (const BurnResult r = Invalidate(paged, changedOnly); r != BurnResult::kDone) return r;
  image[0] = INVALID_COMMIT_BYTE;

  ByteRuns runs{{0, static_cast<std::uint32_t>(image.size())}};
  if (changedOnly) {
    // What the device holds there before the descriptor step does not matter:
    // that step writes it anyway.
    const ByteRun descriptor{SERIAL_ADDRESS,
                             static_cast<std::uint32_t>(SerialDescriptor(job.m_serialNo).size())};
    if (const BurnResult r = ComparePass(image, descriptor, &runs); r != BurnResult::kDone) {
      return r;
    }
  }
  if (!runs.empty()) {
    // The whole burn posted its "Downloading..." at the start.
    if (changedOnly) m_sink.PostStatus(BurnStatus::BURN_DOWNLOADING, 0);
    if (const BurnResult r = Download(image, paged, runs); r != BurnResult::kDone) return r;
    if (StopRequested()) return BurnResult::kStopped;
    if (const BurnResult r = Verify(image, runs); r != BurnResult::kDone) return r;
  }
  if (const BurnResult r = Commit(commitByte); r != BurnResult::kDone) return r;
  m_sink.Committed();
  if (const BurnResult r = WriteSerialDescriptor(job.m_serialNo); r != BurnResult::kDone) return r;

  const std::string version = ReadDeviceVersion(m_hid).value_or(kNoEepromText);
  const std::string cur = ReadDeviceCur(m_hid);
  m_sink.DeviceInfoRefreshed(version, cur);
  m_sink.PostStatus(BurnStatus::BURN_SUCCESS, 0);
  return BurnResult::kDone;
}

BurnResult BurnWorker::Invalidate(bool paged, bool ownFrame) {
  if (paged) {
    if (!m_hid.PrepareWrite()) return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
    if (WaitDeviceReady() == ReadyResult::kQueryFailed) {
      return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
    }
    if (!ownFrame) return BurnResult::kDone;
  }
  if (!m_hid.WriteBlock(0, &INVALID_COMMIT_BYTE, 1)) return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  if (paged && WaitDeviceReady() == ReadyResult::kQueryFailed) {
    return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  }
  return BurnResult::kDone;
}

BurnResult BurnWorker::ComparePass(const std::vector<std::uint8_t>& image, ByteRun uncompared,
                                   ByteRuns* runs) {
  runs->clear();
  CompareSummary summary;
  const auto length = static_cast<std::uint32_t>(image.size() - 1);
  summary.m_blocks = static_cast<long>((length + READ_BLOCK_MAX - 1) / READ_BLOCK_MAX);
  const std::uint32_t skipFrom = uncompared.m_address;
  const std::uint32_t skipEnd = uncompared.m_address + uncompared.m_length;
  auto differs = [&](std::uint32_t address, std::uint8_t deviceByte) {
    return deviceByte != image[address] && (address < skipFrom || address >= skipEnd);
  };
  long compared = 0;
  long changed = 0;
  bool previousChanged = false;
  bool stopped = false;
  bool wholeRest = false;
  const EepromWalkResult walk = ReadEepromRange(
      m_hid, 1, length, [&](std::uint32_t address, std::span<const std::uint8_t> bytes) {
        ++compared;
        std::size_t first = 0;
        while (first < bytes.size() && !differs(address + first, bytes[first])) ++first;
        const bool blockChanged = first < bytes.size();
        if (blockChanged) {
          std::size_t last = bytes.size();
          while (!differs(address + last - 1, bytes[last - 1])) --last;
          ++changed;
          const auto end = static_cast<std::uint32_t>(address + last);
          if (previousChanged) {
            runs->back().m_length = end - runs->back().m_address;
          } else {
            const auto begin = static_cast<std::uint32_t>(address + first);
            runs->push_back({begin, end - begin});
          }
        }
        previousChanged = blockChanged;
        m_sink.PostStatus(BurnStatus::BURN_COMPARING, static_cast<long>(address + bytes.size()));
        stopped = StopRequested();
        if (stopped) return false;
        wholeRest =
            compared <= kProbeBlocks && changed > kProbeChangedMax && compared < summary.m_blocks;
        return !wholeRest;
      });
  if (wholeRest) {
    // The block just compared differs, so the last run ends in it: it goes on
    // to the end, written and read back as the whole burn does.
    runs->back().m_length = static_cast<std::uint32_t>(image.size()) - runs->back().m_address;
  } else if (walk.m_outcome != EepromWalk::kDone) {
    // A block that cannot be read cannot be known equal: the device keeps
    // 0xFF at address 0, as after a failed verify.
    return stopped ? BurnResult::kStopped : Fail(BurnStatus::BURN_VERIFY_FAILED);
  }
  summary.m_uncomparedBlocks = summary.m_blocks - compared;
  summary.m_changedBlocks = changed + summary.m_uncomparedBlocks;
  for (const ByteRun& run : *runs) summary.m_bytesToWrite += run.m_length;
  m_sink.CompareFinished(summary);
  return BurnResult::kDone;
}

BurnResult BurnWorker::Download(const std::vector<std::uint8_t>& image, bool paged,
                                const ByteRuns& runs) {
  long written = 0;
  for (const ByteRun& run : runs) {
    const int end = static_cast<int>(run.m_address + run.m_length);
    int address = static_cast<int>(run.m_address);
    while (address < end) {
      int n = std::min(end - address, WRITE_BLOCK_MAX);
      // Paged writes never cross a page (a block ending exactly on a page
      // boundary is cut to the length it already has).
      constexpr int page = static_cast<int>(EEPROM_PAGE_BYTES);
      if (paged && address / page != (address + n) / page) n = page - address % page;
      if (!m_hid.WriteBlock(static_cast<std::uint32_t>(address), image.data() + address, n)) {
        return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
      }
      address += n;
      written += n;
      if (paged && WaitDeviceReady() == ReadyResult::kQueryFailed) {
        return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
      }
      m_sink.PostStatus(BurnStatus::BURN_DOWNLOADING, written);
      if (StopRequested()) return BurnResult::kStopped;
    }
  }
  return BurnResult::kDone;
}

BurnResult BurnWorker::Verify(const std::vector<std::uint8_t>& image, const ByteRuns& runs) {
  m_sink.PostStatus(BurnStatus::BURN_VERIFYING, 0);
  m_sleep(kSettleDelay);
  long before = 0;  // bytes of the runs already verified
  for (const ByteRun& run : runs) {
    // Address 0 still holds 0xFF on the device and is not compared.
    const std::uint32_t from = std::max<std::uint32_t>(run.m_address, 1);
    const std::uint32_t end = run.m_address + run.m_length;
    if (from >= end) {
      before += run.m_length;
      continue;
    }
    bool stopped = false;
    const EepromWalkResult walk = ReadEepromRange(
        m_hid, from, end - from, [&](std::uint32_t address, std::span<const std::uint8_t> bytes) {
          if (std::memcmp(bytes.data(), image.data() + address, bytes.size()) != 0) return false;
          const auto blockEnd = static_cast<long>(address + bytes.size());
          m_sink.PostStatus(BurnStatus::BURN_VERIFYING,
                            before + blockEnd - static_cast<long>(run.m_address));
          stopped = StopRequested();
          return !stopped;
        });
    if (walk.m_outcome != EepromWalk::kDone) {
      return stopped ? BurnResult::kStopped : Fail(BurnStatus::BURN_VERIFY_FAILED);
    }
    before += run.m_length;
  }
  return BurnResult::kDone;
}

BurnResult BurnWorker::Commit(std::uint8_t commitByte) {
  // The whole image is verified, so the first byte may now make it valid.
  if (!m_hid.WriteBlock(0, &commitByte, 1)) return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  m_sleep(kSettleDelay);
  std::uint8_t committed = 0;
  if (!m_hid.ReadBlock(0, 1, &committed) || committed != commitByte) {
    return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  }
  return BurnResult::kDone;
}

BurnResult BurnWorker::WriteSerialDescriptor(const std::u16string& serialNo) {
  const std::vector<std::uint8_t> descriptor = SerialDescriptor(serialNo);
  const int length = static_cast<int>(descriptor.size());
  // 30 or 31 code units make 62 or 64 bytes, more than one write block.
  const int first = std::min(length, WRITE_BLOCK_MAX);
  if (!m_hid.WriteBlock(SERIAL_ADDRESS, descriptor.data(), first)) {
    return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  }
  if (length > first && !m_hid.WriteBlock(SERIAL_ADDRESS + static_cast<std::uint32_t>(first),
                                          descriptor.data() + first, length - first)) {
    return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  }
  m_sleep(kSettleDelay);
  std::array<std::uint8_t, SERIAL_BYTES_MAX> stored{};
  if (!m_hid.ReadBlock(SERIAL_ADDRESS, length, stored.data())) {
    return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  }
  if (serialNo.empty()) {
    // A descriptor whose length or type byte is 0xFF is no descriptor.
    if (stored[0] != 0xFF && stored[1] != 0xFF) return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
    return BurnResult::kDone;
  }
  if (std::memcmp(stored.data(), descriptor.data(), descriptor.size()) != 0) {
    return Fail(BurnStatus::BURN_DOWNLOAD_FAILED);
  }
  return BurnResult::kDone;
}

}  // namespace tessarin
