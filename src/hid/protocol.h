// The device's wire and EEPROM facts: the 65-byte request and reply frames
// of its command protocol, the command bytes, the EEPROM's size and the
// places in it that the programs address. Every module that speaks to the
// device or lays out its EEPROM takes these numbers from here.
#pragma once

#include <array>
#include <cstdint>

namespace tessarin {

/// Byte length of every report exchanged: the report ID 0 and 64 bytes of the
/// device's report.
inline constexpr int REPORT_LENGTH = 65;
/// Data bytes one write command carries, and one read command returns.
inline constexpr int WRITE_BLOCK_MAX = 60;
inline constexpr int READ_BLOCK_MAX = 64;

inline constexpr std::uint8_t CMD_WRITE_EEPROM = 0x17;
inline constexpr std::uint8_t CMD_READ_EEPROM = 0x15;
inline constexpr std::uint8_t CMD_PROBE = 0x1D;
inline constexpr std::uint8_t CMD_QUERY_PAGED_WRITE = 0x29;
inline constexpr std::uint8_t CMD_PREPARE_WRITE = 0x2B;
inline constexpr std::uint8_t CMD_QUERY_READY = 0x2D;

/// Size of the device's EEPROM, and so of the largest image it takes.
inline constexpr std::uint32_t EEPROM_BYTES = 32768;
/// A paged write never crosses one of these boundaries.
inline constexpr std::uint32_t EEPROM_PAGE_BYTES = 256;
/// Where the USB serial-number string descriptor lives, and how many UTF-16
/// code units of serial number it holds (2 + 2 * 31 = 64 bytes, one read block).
inline constexpr std::uint32_t SERIAL_ADDRESS = 0x7FC0;
inline constexpr int SERIAL_UNITS_MAX = 31;
static_assert(SERIAL_ADDRESS + 2 + 2 * SERIAL_UNITS_MAX <= EEPROM_BYTES);

/// The vendor ID of Kestrova devices.
inline constexpr std::uint32_t KESTROVA_VENDOR_ID = 0x0495;

/// A request or reply: byte 0 the report ID (always 0), byte 1 the command,
/// bytes 2-4 the operands, bytes 5-64 the data of a write.
using ReportFrame = std::array<std::uint8_t, REPORT_LENGTH>;
/// Where a write request's data begins.
inline constexpr int WRITE_DATA_OFFSET = 5;
/// Where a reply's data begins: the bytes read, or the answer of a query.
inline constexpr int REPLY_DATA_OFFSET = 1;
static_assert(WRITE_DATA_OFFSET + WRITE_BLOCK_MAX == REPORT_LENGTH);
static_assert(REPLY_DATA_OFFSET + READ_BLOCK_MAX == REPORT_LENGTH);

/// A request frame: the command and its three operand bytes, the rest zero.
constexpr ReportFrame RequestFrame(std::uint8_t command, std::uint8_t b2 = 0, std::uint8_t b3 = 0,
                                   std::uint8_t b4 = 0) {
  ReportFrame frame{};
  frame[1] = command;
  frame[2] = b2;
  frame[3] = b3;
  frame[4] = b4;
  return frame;
}

/// The request of a read of `length` bytes from EEPROM `address`.
constexpr ReportFrame ReadRequestFrame(std::uint32_t address, int length) {
  return RequestFrame(CMD_READ_EEPROM, static_cast<std::uint8_t>((address >> 8) & 0xFF),
                      static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(length));
}

/// The request of a write of `length` bytes to EEPROM `address`, its data
/// left zero for the caller to fill from byte 5.
constexpr ReportFrame WriteRequestFrame(std::uint32_t address, int length) {
  return RequestFrame(CMD_WRITE_EEPROM, static_cast<std::uint8_t>((address >> 8) & 0xFF),
                      static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(length));
}

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
