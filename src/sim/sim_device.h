// A simulated device: the device side of the report protocol as the program
// relies on it, with an EEPROM model, latency and faults on demand.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hid/protocol.h"
#include "platform/file_io.h"
#include "platform/hid_platform.h"
#include "sim/sim_clock.h"

namespace tessarin {

/// The identifiers of a simulated device unless its configuration gives
/// others: a Kestrova device of the 0x8041 family.
inline constexpr std::uint16_t kSimDefaultVendorId = KESTROVA_VENDOR_ID;
inline constexpr std::uint16_t kSimDefaultProductId = 0x8041;

/// What a simulated device is and how it misbehaves. Report lengths count the
/// report ID byte, like HidInterfaceInfo; a transfer succeeds only on a report
/// type whose length is exactly 65, so the lengths also decide the report mode
/// the program chooses (65/any: output-input; 0 or 64 / 65: feature).
struct SimDeviceConfig {
  std::uint16_t m_vendorId = kSimDefaultVendorId;
  std::uint16_t m_productId = kSimDefaultProductId;
  std::uint16_t m_outputReportByteLength = REPORT_LENGTH;
  std::uint16_t m_inputReportByteLength = REPORT_LENGTH;
  std::uint16_t m_featureReportByteLength = 0;

  /// The answer to CMD_QUERY_PAGED_WRITE.
  bool m_pagedWrite = false;
  /// After each CMD_WRITE_EEPROM or CMD_PREPARE_WRITE, this many
  /// CMD_QUERY_READY answer "not ready" before one answers "ready";
  /// kReadyNever: never ready.
  int m_readyAfter = 0;
  static constexpr int kReadyNever = -1;
  /// False: CMD_PROBE gets no reply (the fetch after it fails).
  bool m_answersProbe = true;
  /// Time each send and each fetch takes, on the device's clock.
  std::chrono::nanoseconds m_latency{0};

  /// Faults. Sends and fetches are counted separately from 1 (failed ones
  /// included); the listed ones fail and reach nothing.
  std::set<long> m_failSends;
  std::set<long> m_failFetches;
  /// EEPROM addresses whose byte reads back inverted (the stored byte is intact).
  std::set<std::uint32_t> m_corruptAddresses;
  /// After this many transfers (sends + fetches) every call fails, as on an
  /// unplugged device; -1: never.
  long m_vanishAfterFrames = -1;
  /// Opening a handle fails with "Permission denied".
  bool m_denyOpen = false;
  /// Non-empty: the enumeration reports this error for the interface.
  std::string m_enumerateError;

  /// Initial EEPROM contents (at most 32768 bytes, the rest 0xFF); empty: all
  /// 0xFF. Ignored when `m_eepromFile` exists.
  std::string m_imageFile;
  /// Where the EEPROM is kept: the file is mapped into memory and shared, so
  /// every write lands in it at once and survives the death of the process
  /// that drives the device, as a real device's EEPROM does. Created (all
  /// 0xFF, or the image) when missing. Empty: memory only.
  std::string m_eepromFile;
};

/// One transfer as the device saw it.
struct SimFrame {
  FrameTransfer m_transfer = FrameTransfer::kSendOutput;
  bool m_ok = false;
  /// The request received, or the reply given (zeros when the fetch failed).
  std::array<std::uint8_t, REPORT_LENGTH> m_bytes{};
};

/// The device. Usable standalone (HandleSend/HandleFetch, e.g. behind an
/// emulated hidraw node) or through SimBackend. Every member may be called
/// from any thread, also from two at once.
class SimDevice : public std::enable_shared_from_this<SimDevice> {
 public:
  /// Maps `eepromFile` or loads `imageFile` when given; on a failure the
  /// EEPROM stays all 0xFF in memory and LoadError() tells why. A null clock
  /// means no latency.
  explicit SimDevice(SimDeviceConfig config = {}, std::shared_ptr<SimClock> clock = nullptr);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  /// A request arriving as an output or feature report of `length` bytes
  /// (byte 0 the report ID). False when the transfer fails: the report type is
  /// not 65 bytes long on this device, a fault is due, or the device is gone.
  bool HandleSend(HidReportType type, const std::uint8_t* report, std::size_t length);
  /// A reply fetched as an input or feature report. False on the same faults
  /// and when there is nothing to answer (no request yet, or an unanswered
  /// probe). A successful fetch returns the reply of the last request that has
  /// one, as often as it is asked for.
  bool HandleFetch(HidReportType type, std::uint8_t* report, std::size_t length);

  /// The interface as an enumeration shows it (path left empty).
  HidInterfaceInfo Info() const;
  const SimDeviceConfig& Config() const { return m_config; }
  /// Why loading the EEPROM file or image failed; empty when it did not.
  std::string LoadError() const;

  // Inspection and control, for tests and the demo.
  std::vector<std::uint8_t> Eeprom() const;
  void SetEeprom(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  void SetAnswersProbe(bool answers);
  void SetPagedWrite(bool paged);
  void FailSend(long ordinal);   ///< the ordinal-th send from the start fails
  void FailFetch(long ordinal);  ///< the ordinal-th fetch from the start fails
  void CorruptAt(std::uint32_t address);
  void VanishAfter(long frames);  ///< counted from the start, like the config
  void Vanish() { VanishAfter(0); }
  bool Vanished() const;
  /// Plugged in again: no longer vanished, and no vanishing planned.
  void Reattach();
  /// Called (on the transferring thread, no lock held) when the transfer count
  /// reaches the planned vanishing, as a real removal is announced.
  void SetVanishListener(std::function<void()> onVanish);
  bool DenyOpen() const;

  /// The transfer log, oldest first; kept while logging is on (the default).
  std::vector<SimFrame> Frames() const;
  /// Only the requests that arrived (successful sends).
  std::vector<SimFrame> Requests() const;
  void ClearFrames();
  void SetLogging(bool on);
  long Sends() const;    ///< sends attempted so far
  long Fetches() const;  ///< fetches attempted so far

  /// Claims the device for one burn or read: one holder in this process, and,
  /// for a device kept in an EEPROM file, one across processes (a lock file
  /// beside it). Null with *busy when someone holds it. The device must be
  /// held by a std::shared_ptr.
  DeviceClaimPtr Claim(bool* busy);
  bool Claimed() const;

  /// Open handles on this device, by the mode they were opened in (SimBackend
  /// keeps these up to date).
  int OpenHandles() const;
  int OpenHandles(HidOpenMode mode) const;
  void HandleOpened(HidOpenMode mode);
  void HandleClosed(HidOpenMode mode);

 private:
  friend class SimDeviceClaim;
  void ReleaseClaim();
  bool TransferAllowed(HidReportType type, std::size_t length) const;
  /// Lets the configured transfer latency pass on the device's clock.
  void WaitLatency();
  bool GoneLocked() const;
  /// One transfer: the latency, then `exchange(gone)` under the lock; a
  /// vanishing that the transfer brought about is announced after it.
  template <typename Exchange>
  bool Transfer(Exchange&& exchange);
  void Log(FrameTransfer transfer, bool ok, const std::uint8_t* bytes, std::size_t length);
  void Execute(const std::uint8_t* request);
  SimDeviceConfig m_config;
  std::shared_ptr<SimClock> m_clock;
  mutable std::mutex m_mutex;
  std::vector<std::uint8_t> m_memory;       // the EEPROM when it is not kept in a file
  std::optional<SharedFileMapping> m_kept;  // the EEPROM kept in `m_eepromFile`
  std::uint8_t* m_eeprom = nullptr;         // EEPROM_BYTES bytes: m_memory or m_kept
  std::string m_loadError;
  std::array<std::uint8_t, REPORT_LENGTH> m_reply{};
  bool m_hasReply = false;
  int m_notReadyLeft = 0;
  long m_sends = 0;
  long m_fetches = 0;
  bool m_logging = true;
  std::vector<SimFrame> m_frames;
  std::array<int, 3> m_openHandles{};
  std::function<void()> m_onVanish;
  bool m_claimed = false;
};

}  // namespace tessarin
