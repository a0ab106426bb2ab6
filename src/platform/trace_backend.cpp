#include "platform/trace_backend.h"

#include <utility>

namespace tessarin {

const char* FrameTransferName(FrameTransfer transfer) {
  switch (transfer) {
    case FrameTransfer::kSendOutput:
      return "send-output";
    case FrameTransfer::kFetchInput:
      return "fetch-input";
    case FrameTransfer::kSendFeature:
      return "send-feature";
    case FrameTransfer::kFetchFeature:
      return "fetch-feature";
  }
  return "?";
}

std::string FormatTraceLine(const TraceEvent& event, bool foldZeroTail) {
  static const char digits[] = "0123456789abcdef";
  std::string line = FrameTransferName(event.m_transfer);
  line += event.m_ok ? " ok " : " failed ";
  line += event.m_path;
  const std::size_t shown = event.m_bytes.size();
  // Keep at least the report ID, command and operands.
  std::size_t end = shown;
  while (foldZeroTail && end > 5 && event.m_bytes[end - 1] == 0) --end;
  for (std::size_t i = 0; i < end; ++i) {
    line += ' ';
    line += digits[event.m_bytes[i] >> 4];
    line += digits[event.m_bytes[i] & 0xF];
  }
  if (end < shown) line += " (+" + std::to_string(shown - end) + " zero)";
  return line;
}

namespace {

class TraceHandle : public HidHandle {
 public:
  TraceHandle(HidHandlePtr inner, std::string path, std::shared_ptr<const TraceObserver> observer)
      : m_inner(std::move(inner)), m_path(std::move(path)), m_observer(std::move(observer)) {}

  bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
    const bool ok = m_inner->SetOutputReport(report, length);
    Report(FrameTransfer::kSendOutput, ok, report, length);
    return ok;
  }
  bool GetInputReport(std::uint8_t* report, std::size_t length) override {
    const bool ok = m_inner->GetInputReport(report, length);
    Report(FrameTransfer::kFetchInput, ok, report, length);
    return ok;
  }
  bool SetFeature(const std::uint8_t* report, std::size_t length) override {
    const bool ok = m_inner->SetFeature(report, length);
    Report(FrameTransfer::kSendFeature, ok, report, length);
    return ok;
  }
  bool GetFeature(std::uint8_t* report, std::size_t length) override {
    const bool ok = m_inner->GetFeature(report, length);
    Report(FrameTransfer::kFetchFeature, ok, report, length);
    return ok;
  }

 private:
  void Report(FrameTransfer transfer, bool ok, const std::uint8_t* bytes, std::size_t length) {
    if (!*m_observer) return;
    TraceEvent event;
    event.m_path = m_path;
    event.m_transfer = transfer;
    event.m_ok = ok;
    if (bytes != nullptr) event.m_bytes.assign(bytes, bytes + length);
    (*m_observer)(event);
  }

  HidHandlePtr m_inner;
  std::string m_path;
  std::shared_ptr<const TraceObserver> m_observer;
};

}  // namespace

TraceBackend::TraceBackend(HidBackend& inner, TraceObserver observer)
    : m_inner(inner), m_observer(std::make_shared<const TraceObserver>(std::move(observer))) {}

std::vector<HidInterfaceInfo> TraceBackend::Enumerate() { return m_inner.Enumerate(); }

HidHandlePtr TraceBackend::Open(const std::string& path, HidOpenMode mode, std::string* error) {
  HidHandlePtr inner = m_inner.Open(path, mode, error);
  if (!inner) return nullptr;
  return std::make_unique<TraceHandle>(std::move(inner), path, m_observer);
}

DeviceClaimPtr TraceBackend::Claim(const std::string& path, bool* busy) {
  return m_inner.Claim(path, busy);
}

void TraceBackend::SetDeviceChangeListener(DeviceChangeListener listener) {
  m_inner.SetDeviceChangeListener(std::move(listener));
}

int TraceBackend::DeviceChangeFd() const { return m_inner.DeviceChangeFd(); }

void TraceBackend::ProcessDeviceChanges() { m_inner.ProcessDeviceChanges(); }

}  // namespace tessarin
