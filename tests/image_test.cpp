#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "image/compat_state.h"
#include "image/file_time.h"
#include "image/image_file.h"
#include "image/rom_image.h"
#include "image/utf16.h"
#include "platform/file_io.h"
#include "support/hooked_files.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

using testing::ScratchDir;
using namespace std::chrono;

uint64_t TicksAt(year_month_day date, hours h, minutes m, seconds s) {
  const auto since1970 = (sys_days{date} + h + m + s).time_since_epoch();
  return static_cast<uint64_t>(duration_cast<seconds>(since1970).count()) * 10000000ULL +
         kUnixEpochTicks;
}

std::vector<uint8_t> Image(int32_t size, uint8_t major = 1, uint8_t minor = 0, uint16_t cur = 0,
                           std::optional<ImageIds> ids = std::nullopt) {
  std::optional<std::vector<uint8_t>> image = MakeImage(size, major, minor, cur, ids);
  EXPECT_TRUE(image.has_value());
  return image.value_or(std::vector<uint8_t>{});
}

// What the window shows and holds after a sequence of loads, as the dialog's load applies the
// library's results: a failed or refused load keeps everything; a short image keeps the texts.
struct Shown {
  SharedRomImage held;
  CompatState compat;
  std::string version;
  std::string cur;
};

ImageLoadFailure Load(const std::filesystem::path& file, Shown* shown) {
  ImageReadResult result = ReadImageFile(file);
  if (result.m_failure != ImageLoadFailure::kNone) return result.m_failure;
  shown->held = std::move(result.m_image);
  const ImageFields fields = ParseImageFields(shown->held->ImageData());
  if (!fields.m_hasHeader) return ImageLoadFailure::kNone;
  shown->version = FormatVersion(fields.m_versionMajor, fields.m_versionMinor);
  shown->cur = FormatCur(fields.m_cur);
  ApplyImageIds(fields, &shown->compat);
  return ImageLoadFailure::kNone;
}

TEST(ImageFields, HeaderAndIdBlockAreLittleEndianAtTheirOffsets) {
  std::vector<uint8_t> image(kIdBlockMinSize, 0);
  image[4] = 8;
  image[5] = 3;
  image[10] = 0x34;
  image[11] = 0x12;
  image[0x7070] = 0xA5;
  image[0x7071] = 0x95;
  image[0x7072] = 0x04;
  image[0x7073] = 0x41;
  image[0x7074] = 0x80;
  const ImageFields f = ParseImageFields(image);
  EXPECT_EQ(FormatVersion(f.m_versionMajor, f.m_versionMinor), "3.8");
  EXPECT_EQ(FormatCur(f.m_cur), "4660");
  EXPECT_TRUE(f.m_hasIds);
  EXPECT_EQ(f.m_vid, 0x0495);
  EXPECT_EQ(f.m_pid, 0x8041);
  EXPECT_EQ(FormatVersion(255, 255), "255.255");
  EXPECT_EQ(FormatCur(65535), "65535");
}

TEST(ImageFields, MakeImageBuildsWhatTheParserReads) {
  struct Case {
    int32_t size;
    std::optional<ImageIds> ids;
    bool header, idArea, hasIds;
  };
  const Case cases[] = {
      {0, std::nullopt, false, false, false},
      {15, std::nullopt, false, false, false},
      {16, std::nullopt, true, false, false},
      {kIdBlockMinSize - 1, std::nullopt, true, false, false},
      {kIdBlockMinSize, std::nullopt, true, true, false},
      {kIdBlockMinSize, ImageIds{0x0495, 0x8046}, true, true, true},
      {EEPROM_BYTES, ImageIds{0x1234, 0xABCD}, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::vector<uint8_t> image = Image(c.size, 2, 7, 513, c.ids);
    ASSERT_EQ(image.size(), static_cast<size_t>(c.size));
    const ImageFields f = ParseImageFields(image);
    EXPECT_EQ(f.m_hasHeader, c.header);
    EXPECT_EQ(f.m_hasIdArea, c.idArea);
    EXPECT_EQ(f.m_hasIds, c.hasIds);
    if (c.header) {
      EXPECT_EQ(f.m_versionMajor, 2);
      EXPECT_EQ(f.m_versionMinor, 7);
      EXPECT_EQ(f.m_cur, 513);
    }
    if (c.hasIds) {
      EXPECT_EQ(f.m_vid, c.ids->m_vid);
      EXPECT_EQ(f.m_pid, c.ids->m_pid);
    }
  }
  std::string err;
  EXPECT_FALSE(MakeImage(-1, 0, 0, 0, std::nullopt, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(MakeImage(kIdBlockMinSize - 1, 0, 0, 0, ImageIds{1, 2}, &err));
}

TEST(ImageLoad, SizesAndIdBlocksAcrossSuccessiveLoads) {
  ScratchDir dir;
  struct Step {
    const char* what;
    std::vector<uint8_t> bytes;
    ImageLoadFailure failure;
    int32_t heldSize;
    const char* version;
    const char* cur;
    uint8_t hasIds;
    uint32_t vid, pid;
  };
  std::vector<uint8_t> zeroHeader(16, 0);
  const Step steps[] = {
      {"largest image", Image(32768, 1, 2, 300, ImageIds{0x0495, 0x8041}), ImageLoadFailure::kNone,
       32768, "1.2", "300", 1, 0x0495, 0x8041},
      {"one byte too many", Image(32769, 9, 9, 9), ImageLoadFailure::kTooLarge, 32768, "1.2", "300",
       1, 0x0495, 0x8041},
      {"too short for ids", Image(28788, 3, 8, 4660), ImageLoadFailure::kNone, 28788, "3.8", "4660",
       1, 0x0495, 0x8041},
      {"no marker", Image(28789, 4, 0, 1), ImageLoadFailure::kNone, 28789, "4.0", "1", 0, 0x0495,
       0x8041},
      {"marker", Image(28789, 4, 1, 2, ImageIds{0x0495, 0x8043}), ImageLoadFailure::kNone, 28789,
       "4.1", "2", 1, 0x0495, 0x8043},
      {"15 bytes", Image(15, 7, 7, 7), ImageLoadFailure::kNone, 15, "4.1", "2", 1, 0x0495, 0x8043},
      {"16 zero bytes", zeroHeader, ImageLoadFailure::kNone, 16, "0.0", "0", 1, 0x0495, 0x8043},
      {"empty", {}, ImageLoadFailure::kNone, 0, "0.0", "0", 1, 0x0495, 0x8043},
  };
  Shown shown;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const auto file = dir.Write("image.rom", step.bytes);
    EXPECT_EQ(Load(file, &shown), step.failure);
    ASSERT_NE(shown.held, nullptr);
    EXPECT_EQ(shown.held->ImageSize(), step.heldSize);
    EXPECT_EQ(shown.held->ImageData().size(), static_cast<size_t>(step.heldSize));
    if (step.failure == ImageLoadFailure::kNone) {
      EXPECT_EQ(shown.held->ImageData(), step.bytes);
    }
    EXPECT_EQ(shown.version, step.version);
    EXPECT_EQ(shown.cur, step.cur);
    EXPECT_EQ(shown.compat.imageHasIds, step.hasIds);
    EXPECT_EQ(shown.compat.imageVid, step.vid);
    EXPECT_EQ(shown.compat.imagePid, step.pid);
  }
}

TEST(ImageLoad, RefusalStillReportsTheFileTimeAndLength) {
  ScratchDir dir;
  const auto file = dir.Write("big.rom", Image(40000));
  const ImageReadResult r = ReadImageFile(file);
  EXPECT_EQ(r.m_failure, ImageLoadFailure::kTooLarge);
  EXPECT_EQ(r.m_fileSize, 40000u);
  EXPECT_TRUE(r.m_lastWriteTicks.has_value());
  EXPECT_EQ(r.m_image, nullptr);
  EXPECT_NE(r.m_error.find("32768"), std::string::npos) << r.m_error;
}

// The platform's read failures (tested with the platform) reach the image's
// own failure and message: open, read and growth, each naming the path.
TEST(ImageLoad, EachFileFailureGivesItsImageFailureAndMessage) {
  ScratchDir dir;
  const auto growing = dir.Write("growing.rom", Image(32000));
  bool grew = false;
  testing::HookedFiles grow;
  grow.m_beforeRead = [&] {
    std::ofstream out(growing, std::ios::binary | std::ios::app);
    const std::vector<char> more(1000, 'x');
    out.write(more.data(), static_cast<std::streamsize>(more.size()));
    out.close();
    grew = out.good();
  };
  struct Case {
    const char* what;
    std::filesystem::path path;
    FileOpener& files;
    ImageLoadFailure failure;
    std::string messageStart;
  };
  const std::filesystem::path missing = dir.path() / "missing.rom";
  const std::filesystem::path mem = "/proc/self/mem";
  const Case cases[] = {
      {"missing", missing, SystemFiles(), ImageLoadFailure::kCannotOpen, "open "},
      {"read error after the open",
       mem,
       SystemFiles(),
       ImageLoadFailure::kReadError,
       "read " + PathForMessage(mem) + ": "},
      {"grew while read", growing, grow, ImageLoadFailure::kTooLarge,
       PathForMessage(growing) + ": grew past 32768 bytes while it was read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code ec;
    if (c.path == mem && !std::filesystem::is_regular_file(mem, ec)) continue;
    const ImageReadResult r = ReadImageFile(c.path, c.files);
    // Windows opens the image shared with nobody: there it cannot grow.
    if (c.path == growing && !grew) {
      EXPECT_EQ(r.m_failure, ImageLoadFailure::kNone);
      continue;
    }
    EXPECT_EQ(r.m_failure, c.failure);
    EXPECT_EQ(r.m_error.rfind(c.messageStart, 0), 0u) << r.m_error;
    EXPECT_EQ(r.m_image, nullptr);
  }
}

TEST(FileTime, ShiftAndSplit) {
  struct Case {
    const char* what;
    uint64_t ticks;
    int32_t bias;
    const char* text;
  };
  const uint64_t march5 = TicksAt(2021y / March / 5, 13h, 7min, 9s);
  const Case cases[] = {
      {"UTC", march5, 0, "2021-03-05, 13:07:09"},
      {"one hour east", march5, -60, "2021-03-05, 14:07:09"},
      {"five hours west", march5, 300, "2021-03-05, 08:07:09"},
      {"half-hour zone", march5, -330, "2021-03-05, 18:37:09"},
      {"across midnight and the year", TicksAt(2020y / December / 31, 23h, 30min, 0s), -60,
       "2021-01-01, 00:30:00"},
      {"leap day", TicksAt(2000y / February / 29, 12h, 0min, 0s), 0, "2000-02-29, 12:00:00"},
      {"not a leap year", TicksAt(2100y / February / 28, 23h, 59min, 59s), -1,
       "2100-03-01, 00:00:59"},
      {"first tick", 0, 0, "1601-01-01, 00:00:00"},
      {"last splittable tick", 0x7FFFFFFFFFFFFFFFULL, 0, "30828-09-14, 02:48:05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ConvertedFileTime t = ConvertFileTime(c.ticks, c.bias);
    EXPECT_EQ(t.m_shifted, c.ticks - static_cast<uint64_t>(c.bias) * kTicksPerMinute);
    ASSERT_TRUE(t.m_valid);
    EXPECT_EQ(FormatFileTime(t.m_fields), c.text);
  }
  // A shift below 1601 wraps around to a value that cannot be split.
  const ConvertedFileTime wrapped = ConvertFileTime(0, 60);
  EXPECT_EQ(wrapped.m_shifted, 0 - 60 * kTicksPerMinute);
  EXPECT_FALSE(wrapped.m_valid);
  EXPECT_FALSE(ConvertFileTime(0x8000000000000000ULL, 0).m_valid);
}

// The shown time is UTC minus the zone's standard-time bias all year: no daylight offset.
TEST(FileTime, FollowsTheProcessTimeZoneWithoutDaylightOffset) {
  struct Case {
    const char* tz;
    year_month_day date;
    const char* text;
  };
  const Case cases[] = {
      {"UTC0", 2021y / March / 5, "2021-03-05, 13:07:09"},
      {"JST-9", 2021y / March / 5, "2021-03-05, 22:07:09"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 2021y / January / 15, "2021-01-15, 14:07:09"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 2021y / July / 15, "2021-07-15, 14:07:09"},
      {"EST5EDT,M3.2.0,M11.1.0", 2021y / July / 15, "2021-07-15, 08:07:09"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    if (!SetProcessTimeZone(c.tz)) GTEST_SKIP() << "cannot set the time zone here";
    const ConvertedFileTime t = ConvertFileTime(TicksAt(c.date, 13h, 7min, 9s));
    ASSERT_TRUE(t.m_valid);
    EXPECT_EQ(FormatFileTime(t.m_fields), c.text);
  }
  // A change of zone changes the stored value, so the file counts as changed.
  ASSERT_TRUE(SetProcessTimeZone("UTC0"));
  const uint64_t ticks = TicksAt(2021y / March / 5, 13h, 7min, 9s);
  const uint64_t inUtc = ConvertFileTime(ticks).m_shifted;
  ASSERT_TRUE(SetProcessTimeZone("JST-9"));
  EXPECT_NE(ConvertFileTime(ticks).m_shifted, inUtc);
  SetProcessTimeZone("UTC0");
}

TEST(Compatibility, RuleTable) {
  struct Case {
    const char* what;
    uint32_t deviceVid, devicePid;
    uint8_t foreign;
    uint32_t imageVid, imagePid;
    bool suits;
  };
  const Case cases[] = {
      {"family 1", 0x0495, 0x8050, 0, 0x0495, 0x8041, true},
      {"families 1 and 2", 0x0495, 0x8050, 0, 0x0495, 0x8043, false},
      {"family 2", 0x0495, 0x8049, 0, 0x0495, 0x8045, true},
      {"family 3", 0x0495, 0x8048, 0, 0x0495, 0x8046, true},
      {"families 3 and 2", 0x0495, 0x8046, 0, 0x0495, 0x8043, false},
      {"equal outside families", 0x0495, 0x8001, 0, 0x0495, 0x8001, true},
      {"different outside families", 0x0495, 0x8001, 0, 0x0495, 0x8002, false},
      {"one in a family", 0x0495, 0x8041, 0, 0x0495, 0x8001, false},
      {"vendor differs", 0x0495, 0x8041, 0, 0x0496, 0x8041, false},
      {"vendor differs, family", 0x1234, 0x8041, 0, 0x0495, 0x8050, false},
      {"foreign firmware, any image", 0x0495, 0x8099, 1, 0xFFFF, 0x0001, true},
      {"foreign flag any nonzero", 0x0495, 0x8099, 2, 0x1111, 0x2222, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CompatState s;
    s.deviceVid = c.deviceVid;
    s.devicePid = c.devicePid;
    s.deviceForeignFirmware = c.foreign;
    s.imageVid = c.imageVid;
    s.imagePid = c.imagePid;
    EXPECT_EQ(IsImageCompatible(s), c.suits);
  }
}

TEST(Compatibility, StartsWithNoOwnDeviceAndNothingElse) {
  const CompatState s;
  EXPECT_EQ(s.notOwnDevice, 1);
  EXPECT_EQ(s.deviceVid | s.devicePid | s.imageVid | s.imagePid, 0u);
  EXPECT_EQ(s.deviceForeignFirmware, 0);
  EXPECT_EQ(s.imageHasIds, 0);
  EXPECT_EQ(JudgeSuitability(s), ImageSuitability::kNotOwnDevice);
}

}  // namespace
}  // namespace tessarin
