// A file mapped into memory: what a new, a shorter, an exact and a longer
// file give, and that every byte stored is in the file at once.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "support/image_test_dir.h"

namespace tessarin {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;

TEST(SharedFileMapping, OpensNewShortExactAndLongerFiles) {
  constexpr size_t kSize = 64;
  struct Case {
    const char* what;
    std::optional<std::vector<uint8_t>> before;  // nullopt: no file
    bool opens;
    bool created;
    std::vector<uint8_t> mapped;  // what Data() holds (and the file then)
  };
  std::vector<uint8_t> filled(kSize, 0xEE);
  std::vector<uint8_t> grown(kSize, 0xEE);
  grown[0] = 1;
  grown[1] = 2;
  const std::vector<uint8_t> exact(kSize, 0x33);
  const Case cases[] = {
      {"new file", std::nullopt, true, true, filled},
      {"empty file", std::vector<uint8_t>{}, true, false, filled},
      {"shorter file keeps its bytes", std::vector<uint8_t>{1, 2}, true, false, grown},
      {"exact file", exact, true, false, exact},
      {"longer file", std::vector<uint8_t>(kSize + 1, 0x44), false, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::filesystem::path file = dir.path() / "kept.eeprom";
    if (c.before) dir.Write("kept.eeprom", *c.before);
    bool created = !c.created;
    std::string err;
    {
      std::optional<SharedFileMapping> mapping =
          SharedFileMapping::Open(file, kSize, 0xEE, &created, &err);
      ASSERT_EQ(mapping.has_value(), c.opens) << err;
      if (!mapping) {
        EXPECT_EQ(err.rfind("map ", 0), 0u) << err;
        EXPECT_NE(err.find("kept.eeprom"), std::string::npos) << err;
        EXPECT_NE(err.find("more than 64"), std::string::npos) << err;
        EXPECT_EQ(ReadBytes(file), *c.before) << "a refused file is left as it was";
        continue;
      }
      EXPECT_EQ(created, c.created);
      ASSERT_EQ(mapping->Size(), kSize);
      EXPECT_EQ(std::vector<uint8_t>(mapping->Data(), mapping->Data() + kSize), c.mapped);
    }
    EXPECT_EQ(ReadBytes(file), c.mapped);
  }
}

TEST(SharedFileMapping, StoredBytesAreInTheFileAtOnceAndAfterAReopen) {
  ScratchDir dir;
  const std::filesystem::path file = dir.path() / "kept.eeprom";
  std::string err;
  {
    std::optional<SharedFileMapping> mapping =
        SharedFileMapping::Open(file, 32, 0xFF, nullptr, &err);
    ASSERT_TRUE(mapping) << err;
    mapping->Data()[0] = 0x42;
    mapping->Data()[31] = 0x24;
    // Still mapped: another reader of the file sees the bytes already.
    const std::vector<uint8_t> seen = ReadBytes(file);
    ASSERT_EQ(seen.size(), 32u);
    EXPECT_EQ(seen[0], 0x42);
    EXPECT_EQ(seen[1], 0xFF);
    EXPECT_EQ(seen[31], 0x24);
  }
  bool created = true;
  std::optional<SharedFileMapping> again = SharedFileMapping::Open(file, 32, 0x00, &created, &err);
  ASSERT_TRUE(again) << err;
  EXPECT_FALSE(created);
  EXPECT_EQ(again->Data()[0], 0x42);
  EXPECT_EQ(again->Data()[1], 0xFF) << "the fill is only for bytes the file lacks";
}

TEST(SharedFileMapping, MovingHandsOverTheMapping) {
  ScratchDir dir;
  std::string err;
  std::optional<SharedFileMapping> first =
      SharedFileMapping::Open(dir.path() / "a.eeprom", 16, 0x01, nullptr, &err);
  std::optional<SharedFileMapping> second =
      SharedFileMapping::Open(dir.path() / "b.eeprom", 16, 0x02, nullptr, &err);
  ASSERT_TRUE(first && second) << err;
  SharedFileMapping moved(std::move(*first));
  EXPECT_EQ(first->Data(), nullptr);
  EXPECT_EQ(first->Size(), 0u);
  ASSERT_NE(moved.Data(), nullptr);
  moved.Data()[0] = 0x11;
  // Assigning unmaps the file held before: its bytes stay in it.
  moved = std::move(*second);
  EXPECT_EQ(second->Data(), nullptr);
  EXPECT_EQ(moved.Data()[0], 0x02);
  moved.Data()[1] = 0x22;
  first.reset();
  second.reset();
  EXPECT_EQ(ReadBytes(dir.path() / "a.eeprom")[0], 0x11);
  EXPECT_EQ(ReadBytes(dir.path() / "b.eeprom")[1], 0x22);
}

TEST(SharedFileMapping, RefusesWhatCannotBeMapped) {
  ScratchDir dir;
  std::string err;
  bool created = false;
  EXPECT_FALSE(
      SharedFileMapping::Open(dir.path() / "missing" / "kept.eeprom", 16, 0xFF, &created, &err));
  EXPECT_NE(err.find("missing"), std::string::npos) << err;
  err.clear();
  EXPECT_FALSE(SharedFileMapping::Open(dir.path(), 16, 0xFF, &created, &err)) << "a directory";
  EXPECT_EQ(err.rfind("map ", 0), 0u) << err;
}

}  // namespace
}  // namespace tessarin
