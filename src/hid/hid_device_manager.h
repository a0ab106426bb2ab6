// The list of attached devices, the current device, and the six commands of
// the device's report protocol, each exchange serialised by the device lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/device_mutex.h"
#include "hid/protocol.h"
#include "platform/hid_platform.h"

namespace tessarin {

/// One listed interface: a device that has a 65-byte report channel and
/// answered the probe. Created by Scan(); shared so that an exchange in
/// flight on another thread keeps the entry (and its open handles) alive
/// while the list is replaced. Handles are null until Open().
struct HidDeviceEntry {
  std::uint32_t vendorId = 0;
  std::uint32_t productId = 0;
  ReportMode reportMode = REPORT_MODE_NONE;
  std::string devicePath;
  std::string port;            ///< the physical port (HidInterfaceInfo::m_port)
  HidHandlePtr featureHandle;  ///< mode 2 only
  HidHandlePtr writeHandle;    ///< mode 1 only
  HidHandlePtr readHandle;     ///< mode 1 only
  /// Set by the first Open(). The handles of an opened entry are never
  /// replaced, because an exchange on another thread may be using them.
  bool opened = false;
};

/// Why Scan() left an interface out of the list.
enum class SkipReason {
  kNotExamined,     ///< the enumeration could not read its ids or lengths
  kNoReportLength,  ///< neither its output nor its feature report is 65 bytes long
  kBusy,            ///< another program has claimed it: not probed
  kCannotOpen,      ///< a handle on it could not be opened
  kLockBusy,        ///< the device lock stayed busy: not probed
  kNoAnswer,        ///< the probe got no reply
};

/// An interface that Scan() looked at but did not list, and why; kept so a
/// front end can explain an empty list (permission denied and the rule that
/// fixes it, report lengths that do not qualify, no answer to the probe).
struct HidSkippedInterface {
  HidInterfaceInfo m_info;
  SkipReason m_why = SkipReason::kNotExamined;
  /// The reason in words: the system's for kNotExamined and kCannotOpen
  /// ("open /dev/hidraw3: Permission denied ..."), the report lengths for
  /// kNoReportLength, SkipReasonText(m_why) for the others.
  std::string m_reason;
};

/// The words of a reason that carries no detail of its own: "busy: another
/// program is burning or reading it", "not probed: the device lock stayed
/// busy for 300 ms", "no answer to the probe"; "" for the others.
std::string SkipReasonText(SkipReason why);

/// The device list, the current device and the device lock. Scan() and
/// Open() run on one thread (the user-interface thread, or the command-line
/// tool's only thread); the commands may run on any thread.
class HidDeviceManager {
 public:
  using Entry = std::shared_ptr<HidDeviceEntry>;

  /// The backend must outlive the manager.
  explicit HidDeviceManager(HidBackend& backend);
  ~HidDeviceManager();
  HidDeviceManager(const HidDeviceManager&) = delete;
  HidDeviceManager& operator=(const HidDeviceManager&) = delete;

  /// Drops the previous list (and with it the current entry) and lists every
  /// present interface that qualifies and answers the probe, in enumeration
  /// order. A device another program has claimed is not probed (its frames
  /// would land in the middle of that program's) and is listed as skipped. Returns the first entry,
  /// null when none. Every handle the scan opens is closed before it returns; an entry still in use
  /// by an exchange on another thread is closed when that exchange lets go of it.
  Entry Scan();
  /// The same, over only the interfaces `accept` takes (one port's device for
  /// a station slot): the others are neither opened nor probed nor listed as
  /// skipped, so a burn running on them elsewhere is never disturbed.
  Entry Scan(const std::function<bool(const HidInterfaceInfo&)>& accept);

  /// Opens the entry's handles for its mode and makes it current. Failed
  /// opens are not reported: the commands on a null handle then fail. An
  /// entry opened before keeps the handles it has and only becomes current.
  /// Returns false only for a null entry.
  bool Open(const Entry& entry);

  /// The list of the last scan, in scan order.
  const std::vector<Entry>& Entries() const { return m_list; }
  /// What the last scan looked at but left out.
  const std::vector<HidSkippedInterface>& Skipped() const { return m_skipped; }
  /// The current entry (null before the first Open and after a scan); safe
  /// to call from any thread.
  Entry Current() const;
  /// Drops the list and the current entry (the dialog's close).
  void Clear();

  /// Claims the entry's device for a burn or a read (HidBackend::Claim): hold
  /// the claim for the whole operation. Null when another program, or another
  /// manager of this one, holds it, with "device busy: ..." in *error.
  DeviceClaimPtr Claim(const Entry& entry, std::string* error);

  /// True when an interface with this path is present now (a fresh
  /// enumeration; nothing is opened and the list is left alone). Any thread.
  bool IsPresent(const std::string& devicePath);
  /// Installs (or, with an empty function, removes) the listener called on
  /// every arrival or removal of a HID interface, on the backend's thread
  /// (see the backend); once this returns, an old listener is not called any
  /// more.
  void SetDeviceChangeListener(DeviceChangeListener listener);

  // The commands. Each returns true on success, false on failure; none
  // throws. All but Probe address the current entry, read afresh before each
  // send and each fetch, and fail at once when there is none.
  bool WriteBlock(std::uint32_t address, const std::uint8_t* data, int length);
  bool ReadBlock(std::uint32_t address, int length, std::uint8_t* out);
  bool QueryPagedWrite(bool& paged);
  bool PrepareWrite();
  bool QueryReady(bool& ready);
  bool Probe(ReportMode mode, HidHandle* featureHandle, HidHandle* writeHandle,
             HidHandle* readHandle);

  /// The lock waits; tests shorten nothing, they are here to be named.
  static constexpr std::chrono::milliseconds kReadLockWait{100};
  static constexpr std::chrono::milliseconds kLockWait{300};
  static constexpr int kAttempts = 3;

 private:
  /// Tests hold the device lock from another thread through this.
  friend class HidDeviceManagerTestAccess;

  enum class ProbeResult { kAnswered, kLockBusy, kNoAnswer };
  void Skip(const HidInterfaceInfo& info, SkipReason why);
  /// kCannotOpen with the open's error, or "cannot open <path>" when it gave none.
  void SkipUnopened(const HidInterfaceInfo& info, const std::string& error);
  ProbeResult ProbeInterface(ReportMode mode, HidHandle* featureHandle, HidHandle* writeHandle,
                             HidHandle* readHandle);

  HidBackend& m_backend;
  std::vector<Entry> m_list;
  std::vector<HidSkippedInterface> m_skipped;
  mutable std::mutex m_currentGuard;  // guards m_current only, never held across I/O
  Entry m_current;
  DeviceMutex m_mutex;
};

}  // namespace tessarin
