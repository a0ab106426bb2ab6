// Report lengths from a raw HID report descriptor, computed the way Windows'
// HidP_GetCaps reports them, and the descriptor of a vendor-defined device of
// given lengths. Pure C++: used by the Linux backend, where the kernel gives
// the descriptor but no lengths, and by the uhid devices and tests that play
// such a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessarin {

/// The longest report of each type in bytes, with one byte for the report ID
/// always counted (also when the device numbers no reports), the way
/// HIDP_CAPS' InputReportByteLength etc. do; 0 when the descriptor has no
/// report of that type.
struct HidReportLengths {
  std::uint16_t m_input = 0;
  std::uint16_t m_output = 0;
  std::uint16_t m_feature = 0;
  /// True when the descriptor declares report IDs (then byte 0 of every
  /// report must be one of them, never 0).
  bool m_numberedReports = false;

  bool operator==(const HidReportLengths&) const = default;
};

/// Limits beyond which a descriptor is refused as malformed. They match what
/// the Linux kernel accepts, so a descriptor refused here is one no hidraw
/// node would ever carry.
inline constexpr std::uint32_t kMaxReportSizeBits = 256;
inline constexpr std::uint32_t kMaxReportCount = 12288;
inline constexpr std::uint32_t kMaxReportBytes = 16383;  ///< without the ID byte
inline constexpr std::size_t kMaxPushDepth = 16;

/// Walks the items of `descriptor` (short and long items, Push/Pop, report
/// IDs; padding fields count) and sums, per report type and report ID, the
/// bits of every Input, Output and Feature main item. Returns the lengths, or
/// nothing when the descriptor is malformed (a truncated item, Pop without
/// Push, End Collection without Collection, a collection left open, report
/// ID 0 or above 255, a size, count or report length over the limits above),
/// and then puts a message naming the byte offset and the fault into
/// `error` when given. Never reads outside `descriptor`.
std::optional<HidReportLengths> ParseReportDescriptor(std::span<const std::uint8_t> descriptor,
                                                      std::string* error = nullptr);

/// A vendor-defined report descriptor (usage page 0xFF00, one application
/// collection, no report IDs) with one report of each type of the given byte
/// length, the report ID byte counted as ParseReportDescriptor counts it; a
/// length of 0 or 1 leaves that report type out. What the simulated devices
/// present to a HID stack, so that it computes the lengths they were given.
std::vector<std::uint8_t> VendorReportDescriptor(int output, int input, int feature);

}  // namespace tessarin
