#include "platform/linux/hid_report_descriptor.h"

#include <array>
#include <cstdio>

namespace tessarin {
namespace {

// Item types and tags of the HID class definition (6.2.2).
constexpr unsigned kTypeMain = 0;
constexpr unsigned kTypeGlobal = 1;

constexpr unsigned kMainInput = 0x8;
constexpr unsigned kMainOutput = 0x9;
constexpr unsigned kMainCollection = 0xA;
constexpr unsigned kMainFeature = 0xB;
constexpr unsigned kMainEndCollection = 0xC;

constexpr unsigned kGlobalReportSize = 0x7;
constexpr unsigned kGlobalReportId = 0x8;
constexpr unsigned kGlobalReportCount = 0x9;
constexpr unsigned kGlobalPush = 0xA;
constexpr unsigned kGlobalPop = 0xB;

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// The part of the global state that decides report lengths.
struct GlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

enum ReportType { kInput = 0, kOutput = 1, kFeature = 2 };

bool Fail(std::string* error, std::size_t offset, const char* what, unsigned long long value = 0) {
  if (error) {
    char text[160];
    std::snprintf(text, sizeof text, "report descriptor, byte %zu: ", offset);
    char detail[120];
    std::snprintf(detail, sizeof detail, what, value);
    *error = std::string(text) + detail;
  }
  return false;
}

std::uint16_t LengthOf(const std::array<std::uint32_t, 256>& bits) {
  std::uint32_t most = 0;
  for (std::uint32_t b : bits) most = b > most ? b : most;
  if (most == 0) return 0;
  return static_cast<std::uint16_t>((most + 7) / 8 + 1);
}

}  // namespace

std::optional<HidReportLengths> ParseReportDescriptor(std::span<const std::uint8_t> d,
                                                      std::string* error) {
  // Bits per report type and report ID (ID 0 when the device numbers none).
  std::array<std::array<std::uint32_t, 256>, 3> bits{};
  std::array<GlobalState, kMaxPushDepth> stack{};
  std::size_t depth = 0;
  std::size_t collections = 0;
  GlobalState g;
  bool numbered = false;

  const std::size_t n = d.size();
  std::size_t pos = 0;
  while (pos < n) {
    const std::uint8_t prefix = d[pos];
    if (prefix == kLongItemPrefix) {
      // Long item: prefix, data size, tag, data. Nothing in it affects lengths.
      if (n - pos < 3) {
        Fail(error, pos, "long item header is cut short");
        return std::nullopt;
      }
      const std::size_t size = d[pos + 1];
      if (n - pos - 3 < size) {
        Fail(error, pos, "long item needs %llu data bytes past the end", size);
        return std::nullopt;
      }
      pos += 3 + size;
      continue;
    }

    std::size_t size = prefix & 0x3u;
    if (size == 3) size = 4;
    if (n - pos - 1 < size) {
      Fail(error, pos, "item needs %llu data bytes past the end", size);
      return std::nullopt;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{d[pos + 1 + i]} << (8 * i);
    const unsigned type = (prefix >> 2) & 0x3u;
    const unsigned tag = prefix >> 4;

    if (type == kTypeGlobal) {
      switch (tag) {
        case kGlobalReportSize:
          if (value > kMaxReportSizeBits) {
            Fail(error, pos, "Report Size %llu bits is over the limit of 256", value);
            return std::nullopt;
          }
          g.reportSize = value;
          break;
        case kGlobalReportCount:
          if (value > kMaxReportCount) {
            Fail(error, pos, "Report Count %llu is over the limit of 12288", value);
            return std::nullopt;
          }
          g.reportCount = value;
          break;
        case kGlobalReportId:
          if (value == 0 || value > 255) {
            Fail(error, pos, "Report ID %llu is not in 1..255", value);
            return std::nullopt;
          }
          g.reportId = value;
          numbered = true;
          break;
        case kGlobalPush:
          if (depth == kMaxPushDepth) {
            Fail(error, pos, "Push nested deeper than %llu", kMaxPushDepth);
            return std::nullopt;
          }
          stack[depth++] = g;
          break;
        case kGlobalPop:
          if (depth == 0) {
            Fail(error, pos, "Pop without a Push");
            return std::nullopt;
          }
          g = stack[--depth];
          break;
        default:
          break;  // usage page, logical and physical ranges, units: no length
      }
    } else if (type == kTypeMain) {
      int report = -1;
      switch (tag) {
        case kMainInput:
          report = kInput;
          break;
        case kMainOutput:
          report = kOutput;
          break;
        case kMainFeature:
          report = kFeature;
          break;
        case kMainCollection:
          ++collections;
          break;
        case kMainEndCollection:
          if (collections == 0) {
            Fail(error, pos, "End Collection without a Collection");
            return std::nullopt;
          }
          --collections;
          break;
        default:
          break;  // reserved main items carry no fields
      }
      if (report >= 0) {
        std::uint32_t& total = bits[report][g.reportId];
        // Both factors are bounded above, so the product fits 32 bits.
        total += g.reportSize * g.reportCount;
        if (total > kMaxReportBytes * 8) {
          Fail(error, pos, "report grows past %llu bytes", kMaxReportBytes);
          return std::nullopt;
        }
      }
    }
    // Local items (usages, strings, delimiters) and reserved types carry no length.
    pos += 1 + size;
  }

  if (collections != 0) {
    Fail(error, n, "%llu collection(s) left open at the end", collections);
    return std::nullopt;
  }
  HidReportLengths lengths;
  lengths.m_input = LengthOf(bits[kInput]);
  lengths.m_output = LengthOf(bits[kOutput]);
  lengths.m_feature = LengthOf(bits[kFeature]);
  lengths.m_numberedReports = numbered;
  return lengths;
}

std::vector<std::uint8_t> VendorReportDescriptor(int output, int input, int feature) {
  std::vector<std::uint8_t> d = {0x06, 0x00, 0xFF,  // Usage Page (vendor)
                                 0x09, 0x01,        // Usage
                                 0xA1, 0x01,        // Collection (Application)
                                 0x15, 0x00,        // Logical Minimum 0
                                 0x26, 0xFF, 0x00,  // Logical Maximum 255
                                 0x75, 0x08};       // Report Size 8
  auto field = [&d](int length, std::uint8_t main) {
    if (length <= 1) return;
    // Report Count takes one byte here, two above 255 bytes.
    const int count = length - 1;
    if (count <= 0xFF) {
      d.insert(d.end(), {0x95, static_cast<std::uint8_t>(count)});
    } else {
      d.insert(d.end(), {0x96, static_cast<std::uint8_t>(count & 0xFF),
                         static_cast<std::uint8_t>((count >> 8) & 0xFF)});
    }
    d.insert(d.end(), {0x09, 0x01, main, 0x02});  // Usage, Input/Output/Feature (Data,Var,Abs)
  };
  field(input, 0x81);
  field(output, 0x91);
  field(feature, 0xB1);
  d.push_back(0xC0);  // End Collection
  return d;
}

}  // namespace tessarin
