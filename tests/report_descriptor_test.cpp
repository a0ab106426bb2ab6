// Report lengths from report descriptors: real devices whose lengths Windows
// computed, and hand-written descriptors for the corners and the faults.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/hid_report_descriptor.h"

namespace tessarin {
namespace {

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Kestrova-style vendor collection: 64 data bytes of each type, no report IDs.
const char* const kVendor64 =
    "06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 95 40"
    "09 01 81 02 09 02 91 02 09 03 B1 02 C0";

struct Case {
  const char* name;
  const char* hex;
  HidReportLengths expected;
};

TEST(ReportDescriptor, ComputesLengthsLikeWindows) {
  const Case cases[] = {
      {"empty descriptor has no reports", "", {0, 0, 0, false}},
      {"64 data bytes of each type, ID byte added", kVendor64, {65, 65, 65, false}},
      {"feature only", "06 00 FF 09 01 A1 01 75 08 95 40 09 03 B1 02 C0", {0, 0, 65, false}},
      {"odd bit counts round up per report",
       "A1 01 75 01 95 09 81 02 75 03 95 01 91 02 C0",
       {3, 2, 0, false}},
      {"padding (constant) fields count",
       "A1 01 75 01 95 05 81 02 75 03 95 01 81 03 C0",
       {2, 0, 0, false}},
      {"longest numbered report wins, ID byte once",
       "A1 01 85 01 75 08 95 08 91 02 85 02 95 10 91 02 85 03 95 02 81 02 C0",
       {3, 17, 0, true}},
      {"fields of one report ID add up across collections",
       "A1 01 85 05 75 08 95 04 B1 02 C0 A1 01 85 05 95 04 B1 02 85 06 95 07 B1 02 C0",
       {0, 0, 9, true}},
      {"Pop restores size, count and report ID",
       "A1 01 85 01 75 08 95 04 A4 85 02 75 10 95 08 81 02 B4 81 02 C0",
       {17, 0, 0, true}},
      {"long items are skipped",
       "FE 03 10 AA BB CC A1 01 75 08 95 02 91 02 FE 00 20 C0",
       {0, 3, 0, false}},
      {"4-byte and empty data items",
       "A1 01 77 08 00 00 00 97 03 00 00 00 81 02 94 81 02 C0",
       {4, 0, 0, false}},
      {"local and reserved items carry no length",
       "A1 01 09 01 19 01 29 05 A9 01 0C 75 08 95 01 91 02 F4 C0",
       {0, 2, 0, false}},
      {"largest report the kernel accepts",
       "A1 01 75 10 96 FF 1F 81 02 75 08 95 01 81 02 C0",
       {16384, 0, 0, false}},
  };
  for (const Case& c : cases) {
    std::string error;
    auto lengths = ParseReportDescriptor(Hex(c.hex), &error);
    ASSERT_TRUE(lengths.has_value()) << c.name << ": " << error;
    EXPECT_EQ(*lengths, c.expected) << c.name << ": got " << lengths->m_input << "/"
                                    << lengths->m_output << "/" << lengths->m_feature;
  }
}

TEST(ReportDescriptor, RefusesMalformedDescriptorsWithReason) {
  struct Bad {
    const char* name;
    const char* hex;
    const char* message;  // a part of the error text
  };
  const Bad cases[] = {
      {"item data cut off", "A1 01 75 08 95", "byte 4: item needs 1 data bytes"},
      {"4-byte item cut off", "A1 01 77 08 00", "byte 2: item needs 4 data bytes"},
      {"long item header cut off", "FE 05", "byte 0: long item header"},
      {"long item data past the end", "A1 01 FE 05 10 AA", "byte 2: long item needs 5"},
      {"Pop without Push", "A1 01 A4 B4 B4 C0", "byte 4: Pop without a Push"},
      {"Push nested too deep", "A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4",
       "byte 16: Push nested deeper"},
      {"End Collection without Collection", "C0", "End Collection without"},
      {"collection left open", "A1 01 A1 02 C0", "byte 5: 1 collection(s) left open"},
      {"report ID 0", "A1 01 85 00 C0", "Report ID 0 is not"},
      {"report ID above 255", "A1 01 86 00 01 C0", "Report ID 256"},
      {"report size above 256 bits", "A1 01 76 01 01 C0", "Report Size 257"},
      {"report count above 12288", "A1 01 96 01 30 C0", "Report Count 12289"},
      {"huge size times count in one item", "A1 01 76 00 01 96 00 02 B1 02 C0", "grows past"},
      {"report grows past the limit over several items",
       "A1 01 75 10 96 FF 1F 91 02 75 10 95 01 91 02 C0", "byte 13: report grows past 16383"},
  };
  for (const Bad& c : cases) {
    std::string error;
    auto bytes = Hex(c.hex);
    EXPECT_FALSE(ParseReportDescriptor(bytes, &error).has_value()) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    // The failure is also reported without an error sink.
    EXPECT_FALSE(ParseReportDescriptor(bytes).has_value()) << c.name;
  }
}

TEST(ReportDescriptor, NeverReadsPastAnyPrefixOfARealDescriptor) {
  // Every cut of a valid descriptor fails cleanly, except the few that end
  // between items before the collection opens; the sanitizer builds catch a
  // read past the copy's end.
  const auto full = Hex(kVendor64);
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::vector<std::uint8_t> cut(full.begin(), full.begin() + n);
    std::string error;
    auto lengths = ParseReportDescriptor(cut, &error);
    const bool whole = n == 0 || n == 3 || n == 5 || n == full.size();
    EXPECT_EQ(lengths.has_value(), whole) << n << ": " << error;
    EXPECT_EQ(error.empty(), whole) << n;
  }
}

// Windows' own lengths for 25 real devices, read from the shared peer data.
TEST(ReportDescriptor, AgreesWithWindowsOnRealDevices) {
  const std::filesystem::path dir = TESSARIN_PEER_REPORT_LENGTHS_DIR;
  std::ifstream table(dir / "lengths.tsv");
  if (!table) {
    GTEST_SKIP() << "peer data not found at " << dir.string()
                 << ": the real-device comparison did not run";
  }
  std::string line;
  std::getline(table, line);  // header
  int devices = 0;
  while (std::getline(table, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string name, page, usage;
    int input = -1, output = -1, feature = -1;
    fields >> name >> page >> usage >> input >> output >> feature;
    ASSERT_TRUE(fields) << "bad line in lengths.tsv: " << line;
    std::ifstream file(dir / (name + ".hex"));
    ASSERT_TRUE(file) << name << ".hex missing";
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    auto lengths = ParseReportDescriptor(Hex(text.str()), &error);
    ASSERT_TRUE(lengths.has_value()) << name << ": " << error;
    EXPECT_EQ(lengths->m_input, input) << name;
    EXPECT_EQ(lengths->m_output, output) << name;
    EXPECT_EQ(lengths->m_feature, feature) << name;
    ++devices;
  }
  EXPECT_EQ(devices, 25);
}

// What the simulated devices show a HID stack must give back the lengths
// they were made with, in every mode, also past one-byte report counts.
TEST(ReportDescriptor, VendorDescriptorRoundTripsItsLengths) {
  const struct {
    int output, input, feature;
  } rows[] = {{65, 65, 0}, {0, 0, 65}, {65, 65, 65},    {64, 64, 64},
              {0, 0, 0},   {2, 1, 0},  {300, 257, 4096}};
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.output << "/" << r.input << "/" << r.feature);
    std::string error;
    const auto lengths =
        ParseReportDescriptor(VendorReportDescriptor(r.output, r.input, r.feature), &error);
    ASSERT_TRUE(lengths) << error;
    // A length of 1 is a report of no data: left out, as 0.
    auto expect = [](int n) { return static_cast<std::uint16_t>(n <= 1 ? 0 : n); };
    EXPECT_EQ(lengths->m_output, expect(r.output));
    EXPECT_EQ(lengths->m_input, expect(r.input));
    EXPECT_EQ(lengths->m_feature, expect(r.feature));
    EXPECT_FALSE(lengths->m_numberedReports);
  }
}

}  // namespace
}  // namespace tessarin
