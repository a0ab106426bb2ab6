// The burn worker: downloads an image into the current device's EEPROM,
// verifies it, commits its first byte last and writes the serial descriptor;
// or, for a re-burn, writes only the blocks that differ, with the same steps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn_status.h"
#include "image/rom_image.h"

namespace tessarin {

class HidDeviceManager;

/// Flags shared between a front end and the worker.
struct BurnFlags {
  /// True from the moment Start() accepts a burn until the worker no longer
  /// uses the manager, the sink or the flags (after its final status post).
  std::atomic<bool> m_workerRunning{false};
  /// Set by the front end to stop a running burn (the window closing). Start()
  /// clears it; the worker only reads it.
  std::atomic<bool> m_cancelRequested{false};
  /// Set by each target-list refresh: true while a device is open. A burn
  /// stops at its next check when it turns false.
  std::atomic<bool> m_deviceOpen{false};
};

/// What the compare pass of a changed-blocks burn found.
struct CompareSummary {
  long m_blocks = 0;  ///< blocks of READ_BLOCK_MAX bytes of the image, from address 1 on
  /// Of them, the ones written: those that differ, and those left uncompared.
  long m_changedBlocks = 0;
  long m_bytesToWrite = 0;  ///< what the download writes and the verify reads back
  /// Of m_changedBlocks, the ones written without being compared: the compare
  /// stopped early since most of the first blocks differed, and the rest is
  /// written as a whole burn writes it.
  long m_uncomparedBlocks = 0;
  long SkippedBlocks() const { return m_blocks - m_changedBlocks; }
  long ComparedBlocks() const { return m_blocks - m_uncomparedBlocks; }
  bool StoppedEarly() const { return m_uncomparedBlocks > 0; }
};

/// Where the worker reports. Every call comes on the worker thread.
/// Implementations post copies and never wait for the user-interface thread,
/// except ShowStopNotice, which may block until the user dismissed it.
class BurnStatusSink {
 public:
  virtual ~BurnStatusSink() = default;
  /// One status and its count.
  virtual void PostStatus(BurnStatus status, long count) = 0;
  /// A burn stopped by a cancel while a device is open: text
  /// "Downloading failed.", caption "Error". Status 0 is posted after it returns.
  virtual void ShowStopNotice(const std::string& text, const std::string& caption) = 0;
  /// The device's version and Cur texts read after a successful burn, handed
  /// over before status 6 is posted.
  virtual void DeviceInfoRefreshed(const std::string& version, const std::string& cur) {
    (void)version;
    (void)cur;
  }
  /// A changed-blocks burn has compared the device with the image. The counts
  /// of the status 1 and 4 posts that follow run from 0 to
  /// `summary.m_bytesToWrite` (and there are none when it is 0).
  virtual void CompareFinished(const CompareSummary& summary) { (void)summary; }
  /// The image's first byte is written and read back: from here on the
  /// device holds the whole image; the serial descriptor follows.
  virtual void Committed() {}
  /// The very last act of a worker started with Start() or RunSynchronously():
  /// called after m_workerRunning has been cleared, once the worker touches
  /// nothing of the front end any more but this sink. A window decides its Burn
  /// button again here (by posting to its own thread). The sink must therefore
  /// outlive the BurnWorker, whose destructor joins the thread.
  virtual void WorkerFinished() {}
};

/// Which bytes of the image a burn writes.
enum class BurnScope {
  /// All of them (the window's Burn).
  kWholeImage,
  /// Only the blocks that differ from what the device holds, found by reading
  /// it first (status 7, "Comparing...", counting the next address). Address 0
  /// gets 0xFF before anything is read or written, every written byte is read
  /// back, and the commit and the descriptor are those of the whole burn. The
  /// bytes the descriptor step writes are not compared (that step writes and
  /// reads them back itself). When more than BurnWorker::kProbeChangedMax of
  /// the first BurnWorker::kProbeBlocks blocks differ, the compare stops there
  /// and everything from that block on is written.
  kChangedBlocks,
};

/// What one burn writes. The image is shared and never modified; the worker
/// burns its own copy. An empty serial number clears the descriptor.
struct BurnJob {
  SharedRomImage m_image;
  std::u16string m_serialNo;
  BurnScope m_scope = BurnScope::kWholeImage;
};

/// How a burn ended, with the values the sequence is known by.
enum class BurnResult : int {
  kDone = 1,             ///< burned, verified, committed, descriptor written
  kStopped = 0,          ///< stopped by a cancel or because no device is left
  kFailed = -1,          ///< failed; the failure status has been posted
  kAlreadyRunning = -2,  ///< RunSynchronously only: another burn runs, nothing was done
};

/// How the wait for the device's ready answer ended.
enum class ReadyResult : int {
  kReady = 1,
  kNeverReady = 0,    ///< kReadyQueriesMax queries answered "not ready"
  kQueryFailed = -1,  ///< a query failed; status 2 has been posted
};

/// A sleep; the real one by default, instant in tests.
using BurnSleep = std::function<void(std::chrono::milliseconds)>;

/// Runs burns for one front end, at most one at a time, and owns the worker
/// thread. The manager, the flags and the sink must outlive the worker object.
/// Start(), Wait() and the destructor are called from one thread (the front
/// end's), the same one that sets m_cancelRequested.
class BurnWorker {
 public:
  BurnWorker(HidDeviceManager& hid, BurnFlags& flags, BurnStatusSink& sink, BurnSleep sleep = {});
  /// Requests nothing; waits for a running worker thread to end.
  ~BurnWorker();
  BurnWorker(const BurnWorker&) = delete;
  BurnWorker& operator=(const BurnWorker&) = delete;

  /// Starts the thread routine on a new thread. Sets m_workerRunning and
  /// clears m_cancelRequested before it returns, so a stop requested from then
  /// on is seen by the burn. Returns false and starts nothing when a burn is
  /// already running (or no thread could be created).
  bool Start(BurnJob job);
  /// Waits until a thread started by Start() has ended; returns at once when
  /// there is none.
  void Wait();
  /// True while a burn runs (m_workerRunning).
  bool Running() const;
  /// The thread routine run on the calling thread (command-line tool, tests):
  /// the same flags, notice, final status and WorkerFinished as a started
  /// worker. Returns RunBurn's result, or kAlreadyRunning.
  BurnResult RunSynchronously(BurnJob job);

  /// The sequence itself. Posts no final status 0 and touches no flag; the
  /// thread routine does that.
  BurnResult RunBurn(const BurnJob& job);
  /// Up to kReadyQueriesMax ready queries.
  ReadyResult WaitDeviceReady();

  static constexpr int kReadyQueriesMax = 1000;
  /// Skipping an unchanged block saves its write and its read-back, while
  /// comparing it costs one read: once more than half of the first blocks
  /// differ, comparing the rest costs more than it can save.
  static constexpr long kProbeBlocks = 64;
  static constexpr long kProbeChangedMax = kProbeBlocks / 2;
  /// The pause before the first verify read, the commit read-back and the
  /// descriptor read-back.
  static constexpr std::chrono::milliseconds kSettleDelay{20};

 private:
  /// A stretch of EEPROM addresses that the download writes.
  struct ByteRun {
    std::uint32_t m_address = 0;
    std::uint32_t m_length = 0;
  };
  using ByteRuns = std::vector<ByteRun>;

  BurnResult ThreadRoutine(const BurnJob& job);
  /// Puts 0xFF at address 0 before the image is touched: the plain path's
  /// one-byte frame; on the paged path PrepareWrite and its ready wait, and
  /// then, when `ownFrame`, a one-byte write and another ready wait (without
  /// it, the download's first block carries the 0xFF).
  BurnResult Invalidate(bool paged, bool ownFrame);
  /// Reads the device from address 1 on and compares, leaving out the bytes in
  /// `uncompared` (the descriptor step's): `runs` gets the blocks that differ,
  /// consecutive ones joined, each cut to its first and last differing byte;
  /// after an early stop (see kChangedBlocks) the last run goes on to the
  /// image's end.
  BurnResult ComparePass(const std::vector<std::uint8_t>& image, ByteRun uncompared,
                         ByteRuns* runs);
  /// Writes the runs of the image (byte 0 already 0xFF), page-bounded when
  /// paged; the count posted is the bytes written so far.
  BurnResult Download(const std::vector<std::uint8_t>& image, bool paged, const ByteRuns& runs);
  /// Reads back the runs (address 0 excepted: the commit checks it) and
  /// compares; the count posted is the bytes of the runs up to the end of the
  /// block just compared, which for the whole image is the next address.
  BurnResult Verify(const std::vector<std::uint8_t>& image, const ByteRuns& runs);
  /// Writes byte 0 and reads it back.
  BurnResult Commit(std::uint8_t commitByte);
  /// Writes and reads back the serial-number descriptor, or its clear.
  BurnResult WriteSerialDescriptor(const std::u16string& serialNo);
  BurnResult Fail(BurnStatus status);
  bool StopRequested() const;

  HidDeviceManager& m_hid;
  BurnFlags& m_flags;
  BurnStatusSink& m_sink;
  BurnSleep m_sleep;
  std::thread m_thread;
};

}  // namespace tessarin
