#include "burn/burn_worker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>
#include <utility>

#include "hid/device_info.h"
#include "hid/hid_device_manager.h"
#include "hid/report_frame.h"

namespace tessarin {

namespace {

constexpr std::uint8_t INVALID_COMMIT_BYTE = 0xFF;
constexpr std::uint8_t STRING_DESCRIPTOR_TYPE = 0x03;
constexpr int SERIAL_BYTES_MAX = 2 * BurnWorker::SERIAL_UNITS_MAX + 2;  // 64: one read block

static_assert(SERIAL_BYTES_MAX <= READ_BLOCK_MAX);
static_assert(BurnWorker::SERIAL_ADDRESS + SERIAL_BYTES_MAX <= BurnWorker::IMAGE_BYTES_MAX);

void RealSleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace

BurnWorker::BurnWorker(HidDeviceManager& hid, BurnFlags& flags, BurnStatusSink& sink,
                       BurnSleep sleep)
    : m_hid(hid), m_flags(flags), m_sink(sink), m_sleep(sleep ? std::move(sleep) : RealSleep) {}

BurnWorker::~BurnWorker() { Wait(); }

bool BurnWorker::Start(BurnJob job) {
  int idle = 0;
  // Claimed here, on the front end's thread, so a second press of Burn and a
  // close right after the first press both see the burn as running.
  if (!m_flags.m_workerRunning.compare_exchange_strong(idle, 1)) return false;
  // A previous thread has cleared the flag; at most its last call to the sink
  // is left, so this join is short.
  if (m_thread.joinable()) m_thread.join();
  m_flags.m_cancelRequested.store(0);
  try {
    m_thread = std::thread([this, job = std::move(job)] { ThreadRoutine(job); });
  } catch (const std::system_error&) {
    m_flags.m_workerRunning.store(0);
    return false;
  }
  return true;
}

void BurnWorker::Wait() {
  if (m_thread.joinable()) m_thread.join();
}

bool BurnWorker::Running() const { return m_flags.m_workerRunning.load() != 0; }

int BurnWorker::RunSynchronously(BurnJob job) {
  int idle = 0;
  if (!m_flags.m_workerRunning.compare_exchange_strong(idle, 1)) return -2;
  Wait();
  m_flags.m_cancelRequested.store(0);
  return ThreadRoutine(job);
}

int BurnWorker::ThreadRoutine(const BurnJob& job) {
  const int result = RunBurn(job);
  if (result == 0) {
    // A stop while a device is still open came from a cancel: tell the user
    // the device holds no valid image now. A removed device needs no notice.
    if (m_flags.m_deviceOpen.load() != 0) m_sink.ShowStopNotice("Downloading failed.", "Error");
    m_sink.PostStatus(BURN_IDLE, 0);
  }
  m_flags.m_workerRunning.store(0);
  m_sink.WorkerFinished();
  return result;
}

bool BurnWorker::StopRequested() const {
  return m_flags.m_deviceOpen.load() == 0 || m_flags.m_cancelRequested.load() != 0;
}

int BurnWorker::WaitDeviceReady() {
  for (int i = 0; i < READY_QUERIES_MAX; ++i) {
    bool ready = false;
    if (!m_hid.QueryReady(ready)) {
      m_sink.PostStatus(BURN_DOWNLOAD_FAILED, 0);
      return -1;
    }
    if (ready) return 1;
  }
  return 0;
}

int BurnWorker::RunBurn(const BurnJob& job) {
  const auto Fail = [this](unsigned code) {
    m_sink.PostStatus(code, 0);
    return -1;
  };

  // An empty image has no commit byte and nothing to verify; refusing it here
  // leaves the device untouched instead of invalidating its current image.
  if (!job.image || job.image->empty()) return Fail(BURN_VERIFY_FAILED);
  // Addresses are 16-bit; a larger image would wrap over its own start.
  if (job.image->size() > IMAGE_BYTES_MAX) return Fail(BURN_DOWNLOAD_FAILED);

  m_sink.PostStatus(BURN_DOWNLOADING, 0);
  // m_cancelRequested was cleared when the burn was started; clearing it here
  // again would lose a stop requested in between.

  // The burn's own copy: the caller's bytes are never changed, and byte 0 goes
  // out as 0xFF until the commit.
  std::vector<std::uint8_t> image(*job.image);
  const std::uint8_t commitByte = image[0];
  const int size = static_cast<int>(image.size());

  bool paged = false;
  if (!m_hid.QueryPagedWrite(paged)) paged = false;

  if (paged) {
    if (!m_hid.PrepareWrite()) return Fail(BURN_DOWNLOAD_FAILED);
    if (WaitDeviceReady() < 0) return Fail(BURN_DOWNLOAD_FAILED);
  } else {
    // Invalidate the device's image before its first byte changes.
    if (!m_hid.WriteBlock(0, &INVALID_COMMIT_BYTE, 1)) return Fail(BURN_DOWNLOAD_FAILED);
  }
  image[0] = INVALID_COMMIT_BYTE;

  int address = 0;
  int remaining = size;
  while (remaining != 0) {
    int n = std::min(remaining, WRITE_BLOCK_MAX);
    // Paged writes never cross a 256-byte page (a block ending exactly on a
    // page boundary is cut to the length it already has).
    if (paged && (address >> 8) != ((address + n) >> 8)) n = 256 - address % 256;
    if (!m_hid.WriteBlock(static_cast<std::uint32_t>(address), image.data() + address, n)) {
      return Fail(BURN_DOWNLOAD_FAILED);
    }
    remaining -= n;
    address += n;
    if (paged && WaitDeviceReady() < 0) return Fail(BURN_DOWNLOAD_FAILED);
    m_sink.PostStatus(BURN_DOWNLOADING, address);
    if (StopRequested()) return 0;
  }
  if (StopRequested()) return 0;

  // Address 0 still holds 0xFF on the device and is not compared.
  m_sink.PostStatus(BURN_VERIFYING, 0);
  m_sleep(SETTLE_DELAY);
  std::array<std::uint8_t, READ_BLOCK_MAX> readBack{};
  address = 1;
  remaining = size - 1;
  while (remaining != 0) {
    const int n = std::min(remaining, READ_BLOCK_MAX);
    if (!m_hid.ReadBlock(static_cast<std::uint32_t>(address), n, readBack.data()) ||
        std::memcmp(readBack.data(), image.data() + address, static_cast<std::size_t>(n)) != 0) {
      return Fail(BURN_VERIFY_FAILED);
    }
    address += n;
    remaining -= n;
    m_sink.PostStatus(BURN_VERIFYING, address);
    if (StopRequested()) return 0;
  }

  // Commit: the whole image is verified, so the first byte may now make it valid.
  image[0] = commitByte;
  if (!m_hid.WriteBlock(0, &commitByte, 1)) return Fail(BURN_DOWNLOAD_FAILED);
  m_sleep(SETTLE_DELAY);
  std::uint8_t committed = 0;
  if (!m_hid.ReadBlock(0, 1, &committed) || committed != commitByte) {
    return Fail(BURN_DOWNLOAD_FAILED);
  }

  // The serial-number descriptor, or its clear.
  const std::size_t units = std::min<std::size_t>(job.serialNo.size(), SERIAL_UNITS_MAX);
  if (units != 0) {
    std::array<std::uint8_t, SERIAL_BYTES_MAX> descriptor{};
    const int length = static_cast<int>(2 * units + 2);
    descriptor[0] = static_cast<std::uint8_t>(length);
    descriptor[1] = STRING_DESCRIPTOR_TYPE;
    for (std::size_t i = 0; i < units; ++i) {
      descriptor[2 + 2 * i] = static_cast<std::uint8_t>(job.serialNo[i] & 0xFF);
      descriptor[3 + 2 * i] = static_cast<std::uint8_t>(job.serialNo[i] >> 8);
    }
    // 30 or 31 code units make 62 or 64 bytes, more than one write block.
    const int first = std::min(length, WRITE_BLOCK_MAX);
    if (!m_hid.WriteBlock(SERIAL_ADDRESS, descriptor.data(), first)) {
      return Fail(BURN_DOWNLOAD_FAILED);
    }
    if (length > first && !m_hid.WriteBlock(SERIAL_ADDRESS + static_cast<std::uint32_t>(first),
                                            descriptor.data() + first, length - first)) {
      return Fail(BURN_DOWNLOAD_FAILED);
    }
    m_sleep(SETTLE_DELAY);
    std::array<std::uint8_t, SERIAL_BYTES_MAX> stored{};
    if (!m_hid.ReadBlock(SERIAL_ADDRESS, length, stored.data()) ||
        std::memcmp(stored.data(), descriptor.data(), static_cast<std::size_t>(length)) != 0) {
      return Fail(BURN_DOWNLOAD_FAILED);
    }
  } else {
    const std::uint8_t cleared[2] = {0xFF, 0xFF};
    if (!m_hid.WriteBlock(SERIAL_ADDRESS, cleared, 2)) return Fail(BURN_DOWNLOAD_FAILED);
    m_sleep(SETTLE_DELAY);
    std::uint8_t stored[2] = {0, 0};
    if (!m_hid.ReadBlock(SERIAL_ADDRESS, 2, stored)) return Fail(BURN_DOWNLOAD_FAILED);
    // A descriptor whose length or type byte is 0xFF is no descriptor.
    if (stored[0] != 0xFF && stored[1] != 0xFF) return Fail(BURN_DOWNLOAD_FAILED);
  }

  const std::string version = ReadDeviceVersion(m_hid);
  const std::string cur = ReadDeviceCur(m_hid);
  m_sink.DeviceInfoRefreshed(version, cur);
  m_sink.PostStatus(BURN_SUCCESS, 0);
  return 1;
}

}  // namespace tessarin
