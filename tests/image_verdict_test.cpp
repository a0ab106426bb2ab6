// The compatibility rule with its refusal texts, as the window, the
// command-line tool and the station show them.
#include "image/image_verdict.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "image/rom_image.h"

namespace tessarin {
namespace {

std::vector<uint8_t> ImageFor(std::optional<ImageIds> ids, int32_t size = kIdBlockMinSize) {
  return MakeImage(size, 1, 0, 0, ids).value_or(std::vector<uint8_t>{});
}

TEST(JudgeImage, SuitsOrRefusesInTheWindowsWords) {
  const std::string notSupported = "The selected file don't support this device";
  struct Case {
    const char* what;
    std::uint32_t vid, pid;
    std::vector<uint8_t> image;
    const char* path;
    ImageSuitability kind;
    std::string message;
  };
  const Case cases[] = {
      {"same ids", 0x0495, 0x8041, ImageFor(ImageIds{0x0495, 0x8041}), "", ImageSuitability::kSuits,
       ""},
      {"same family", 0x0495, 0x8041, ImageFor(ImageIds{0x0495, 0x8050}), "",
       ImageSuitability::kSuits, ""},
      {"no identifier block", 0x0495, 0x8043, ImageFor(std::nullopt), "", ImageSuitability::kSuits,
       ""},
      {"too short for a block", 0x0495, 0x8043, ImageFor(std::nullopt, 100), "",
       ImageSuitability::kSuits, ""},
      {"empty", 0x0495, 0x8043, {}, "", ImageSuitability::kSuits, ""},
      {"other firmware takes any image", 0x0495, 0x1043, ImageFor(ImageIds{0x0495, 0x8047}), "",
       ImageSuitability::kSuits, ""},
      {"other family", 0x0495, 0x8041, ImageFor(ImageIds{0x0495, 0x8043}), "/dev/hidraw3",
       ImageSuitability::kNotSupported,
       notSupported + " (the image is for 0495:8043, the device is 0495:8041)"},
      {"other vendor in the image", 0x0495, 0x8041, ImageFor(ImageIds{0x1234, 0x8041}), "",
       ImageSuitability::kNotSupported,
       notSupported + " (the image is for 1234:8041, the device is 0495:8041)"},
      {"not a Kestrova vendor", 0x1234, 0x5678, ImageFor(ImageIds{0x0495, 0x8041}), "",
       ImageSuitability::kNotOwnDevice, "Not Kestrova Device (1234:5678)"},
      {"not a Kestrova product, with its path", 0x0495, 0x2001, ImageFor(std::nullopt),
       "/dev/hidraw3", ImageSuitability::kNotOwnDevice,
       "Not Kestrova Device (0495:2001 at /dev/hidraw3)"},
      {"low ids get their zeros",
       0x0001,
       0x00AB,
       {},
       "sim:4",
       ImageSuitability::kNotOwnDevice,
       "Not Kestrova Device (0001:00AB at sim:4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ImageVerdict verdict = JudgeImage(c.vid, c.pid, c.image, c.path);
    EXPECT_EQ(verdict.m_kind, c.kind);
    EXPECT_EQ(verdict.Burnable(), c.kind == ImageSuitability::kSuits);
    EXPECT_EQ(verdict.m_message, c.message);
    EXPECT_EQ(verdict.m_deviceClass.m_line, ClassifyDevice(c.vid, c.pid).m_line);
  }
}

TEST(JudgeImage, TheWindowsRecordGivesTheWordsWithoutIdentifiers) {
  struct Case {
    const char* what;
    std::uint32_t deviceVid;
    std::int32_t notOwn;
    std::uint8_t hasIds;
    std::uint32_t imagePid;
    ImageSuitability kind;
    const char* message;
  };
  const Case cases[] = {
      {"suits", 0x0495, 0, 1, 0x8050, ImageSuitability::kSuits, ""},
      {"refused", 0x0495, 0, 1, 0x8043, ImageSuitability::kNotSupported,
       "The selected file don't support this device"},
      {"not own device", 0x1234, 1, 1, 0x8041, ImageSuitability::kNotOwnDevice,
       "Not Kestrova Device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CompatState state;
    state.deviceVid = c.deviceVid;
    state.devicePid = 0x8041;
    state.notOwnDevice = c.notOwn;
    state.imageVid = 0x0495;
    state.imagePid = c.imagePid;
    state.imageHasIds = c.hasIds;
    const ImageVerdict verdict = JudgeImage(state);
    EXPECT_EQ(verdict.m_kind, c.kind);
    EXPECT_EQ(verdict.m_message, c.message);
  }
}

}  // namespace
}  // namespace tessarin
