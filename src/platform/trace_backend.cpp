#include "platform/trace_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

std::string FormatTraceLine(const TraceEvent& event) {
  std::string line = FrameTransferName(event.transfer);
  line += event.ok ? " ok " : " failed ";
  line += event.path;
  const std::size_t shown = std::min(event.length, event.bytes.size());
  // Keep at least the report ID, command and operands; fold the zero tail.
  std::size_t end = shown;
  while (end > 5 && event.bytes[end - 1] == 0) --end;
  char hex[4];
  for (std::size_t i = 0; i < end; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", event.bytes[i]);
    line += hex;
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
    event.path = m_path;
    event.transfer = transfer;
    event.ok = ok;
    event.length = length;
    if (bytes != nullptr) std::memcpy(event.bytes.data(), bytes, std::min(length, kReportBytes));
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

void TraceBackend::SetDeviceChangeListener(DeviceChangeListener listener) {
  m_inner.SetDeviceChangeListener(std::move(listener));
}

int TraceBackend::DeviceChangeFd() const { return m_inner.DeviceChangeFd(); }

void TraceBackend::ProcessDeviceChanges() { m_inner.ProcessDeviceChanges(); }

}  // namespace tessarin
