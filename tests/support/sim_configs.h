// Simulated devices of given report lengths, for the tests of every backend.
#pragma once

#include <cstdint>

#include "hid/protocol.h"
#include "sim/sim_device.h"

namespace tessarin::testing {

/// Output and input reports of `output` bytes, a feature report of `feature`
/// bytes (lengths with the report ID byte, as an enumeration gives them).
inline SimDeviceConfig SimConfigWithLengths(std::uint16_t output, std::uint16_t feature) {
  SimDeviceConfig config;
  config.m_outputReportByteLength = output;
  config.m_inputReportByteLength = output;
  config.m_featureReportByteLength = feature;
  return config;
}

/// A device that speaks in `mode`: 65-byte output and input reports (1), or
/// a 65-byte feature report and no others (2).
inline SimDeviceConfig SimConfigForMode(ReportMode mode) {
  return mode == REPORT_MODE_FEATURE ? SimConfigWithLengths(0, REPORT_LENGTH) : SimDeviceConfig{};
}

}  // namespace tessarin::testing
