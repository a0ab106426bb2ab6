// A backend decorator that reports every report frame crossing it: the
// protocol trace of the command-line tool's --trace option.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace tessarin {

/// "send-output", "fetch-input", "send-feature", "fetch-feature".
const char* FrameTransferName(FrameTransfer transfer);

/// One frame that crossed the backend.
struct TraceEvent {
  std::string m_path;  ///< the interface the handle was opened on
  FrameTransfer m_transfer = FrameTransfer::kSendOutput;
  bool m_ok = false;  ///< what the wrapped call returned
  /// The buffer as passed: the request as sent, or the reply buffer as the
  /// fetch left it (also when it failed).
  std::vector<std::uint8_t> m_bytes;
};

/// Receives every event. Called on the thread that made the transfer, after
/// the wrapped call returned; two threads may call it at once, so it must
/// guard its own state.
using TraceObserver = std::function<void(const TraceEvent&)>;

/// One line for a trace: transfer, ok or failed, path and every byte in hex,
/// e.g. "send-output ok sim:0 00 15 00 04 02 00 ...". With `foldZeroTail`,
/// trailing zero bytes after byte 4 are folded into a "(+N zero)" count.
std::string FormatTraceLine(const TraceEvent& event, bool foldZeroTail = false);

/// Wraps `inner` (which must outlive this object): enumeration, opening and
/// the device-change listener pass straight through; every handle it opens
/// reports each transfer to the observer.
class TraceBackend : public HidBackend {
 public:
  TraceBackend(HidBackend& inner, TraceObserver observer);

  std::vector<HidInterfaceInfo> Enumerate() override;
  HidHandlePtr Open(const std::string& path, HidOpenMode mode, std::string* error) override;
  DeviceClaimPtr Claim(const std::string& path, bool* busy) override;
  void SetDeviceChangeListener(DeviceChangeListener listener) override;
  int DeviceChangeFd() const override;
  void ProcessDeviceChanges() override;

 private:
  HidBackend& m_inner;
  std::shared_ptr<const TraceObserver> m_observer;
};

}  // namespace tessarin
