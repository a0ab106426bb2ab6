// The 65-byte request and reply frames of the device's command protocol.
#pragma once

#include <array>
#include <cstdint>

#include "platform/hid_platform.h"

namespace tessarin {

inline constexpr int REPORT_LENGTH = 65;
inline constexpr int WRITE_BLOCK_MAX = 60;
inline constexpr int READ_BLOCK_MAX = 64;

inline constexpr std::uint8_t CMD_WRITE_EEPROM = 0x17;
inline constexpr std::uint8_t CMD_READ_EEPROM = 0x15;
inline constexpr std::uint8_t CMD_PROBE = 0x1D;
inline constexpr std::uint8_t CMD_QUERY_PAGED_WRITE = 0x29;
inline constexpr std::uint8_t CMD_PREPARE_WRITE = 0x2B;
inline constexpr std::uint8_t CMD_QUERY_READY = 0x2D;

static_assert(REPORT_LENGTH == static_cast<int>(kReportBytes));

/// A request or reply: byte 0 the report ID (always 0), byte 1 the command,
/// bytes 2-4 the operands, bytes 5-64 the data of a write.
using ReportFrame = std::array<std::uint8_t, REPORT_LENGTH>;

/// How an interface carries its frames.
enum ReportMode : std::int32_t {
  REPORT_MODE_NONE = 0,          ///< not eligible; never in the device list
  REPORT_MODE_OUTPUT_INPUT = 1,  ///< output reports out, input reports back
  REPORT_MODE_FEATURE = 2,       ///< feature reports both ways
};

/// Mode 1 when the output report is 65 bytes, else mode 2 when the feature
/// report is, else not eligible.
constexpr ReportMode ChooseReportMode(int outputReportByteLength, int featureReportByteLength) {
  if (outputReportByteLength == REPORT_LENGTH) return REPORT_MODE_OUTPUT_INPUT;
  if (featureReportByteLength == REPORT_LENGTH) return REPORT_MODE_FEATURE;
  return REPORT_MODE_NONE;
}

}  // namespace tessarin
