#include "uhid/sim_responder.h"

#include <cstdio>

#include "platform/linux/hid_report_descriptor.h"

namespace tessarin {

bool SimResponder::OnSend(HidReportType type, const std::uint8_t* report, std::size_t length) {
  const bool ok = m_device->HandleSend(type, report, length);
  if (ok && m_log && length >= 5) {
    char text[32];
    std::snprintf(text, sizeof text, "request %02x %02x %02x %02x", report[1], report[2], report[3],
                  report[4]);
    m_log(text);
  }
  return ok;
}

std::size_t SimResponder::OnFetch(HidReportType type, std::span<std::uint8_t> report) {
  const SimDeviceConfig& c = m_device->Config();
  // The report is as long as the device's descriptor says for its type.
  const std::size_t length =
      type == HidReportType::kFeature ? c.m_featureReportByteLength : c.m_inputReportByteLength;
  if (length == 0 || length > report.size()) return 0;
  return m_device->HandleFetch(type, report.data(), length) ? length : 0;
}

UhidDeviceSpec UhidSpecFor(const SimDeviceConfig& config, std::string name, std::string uniq) {
  UhidDeviceSpec spec;
  spec.m_name = std::move(name);
  spec.m_uniq = std::move(uniq);
  spec.m_vendorId = config.m_vendorId;
  spec.m_productId = config.m_productId;
  spec.m_descriptor =
      VendorReportDescriptor(config.m_outputReportByteLength, config.m_inputReportByteLength,
                             config.m_featureReportByteLength);
  return spec;
}

}  // namespace tessarin
