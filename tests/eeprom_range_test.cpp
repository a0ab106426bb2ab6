// Walking a range of the device's EEPROM block by block, and reading it into
// a buffer.
#include "hid/eeprom_range.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "sim/sim_backend.h"

namespace tessarin {
namespace {

class EepromRangeTest : public ::testing::Test {
 protected:
  EepromRangeTest() {
    m_device = std::make_shared<SimDevice>();
    std::vector<std::uint8_t> pattern(EEPROM_BYTES);
    for (std::uint32_t a = 0; a < EEPROM_BYTES; ++a) {
      pattern[a] = static_cast<std::uint8_t>((a * 7 + (a >> 8)) & 0xFF);
    }
    m_device->SetEeprom(0, pattern);
    m_backend.AddDevice(m_device);
    m_hid.Open(m_hid.Scan());
  }

  /// The read of the `block`-th block from now fails, all three attempts of it.
  void FailBlock(int block) {
    const long fetched = m_device->Fetches();
    for (int attempt = 1; attempt <= HidDeviceManager::kAttempts; ++attempt) {
      m_device->FailFetch(fetched + block + attempt - 1);
    }
  }

  std::vector<std::uint8_t> Expected(std::uint32_t address, std::uint32_t length) const {
    const std::vector<std::uint8_t> all = m_device->Eeprom();
    return {all.begin() + address, all.begin() + address + length};
  }

  SimBackend m_backend;
  std::shared_ptr<SimDevice> m_device;
  HidDeviceManager m_hid{m_backend};
};

struct Block {
  std::uint32_t address;
  std::uint32_t length;
  bool operator==(const Block&) const = default;
};

TEST_F(EepromRangeTest, WalksInReadBlocksAndStopsWhereAskedOrWhereAReadFails) {
  struct Case {
    const char* what;
    std::uint32_t address, length;
    int failBlock;  // 0: none
    int stopAfter;  // blocks the callback accepts; -1: all
    EepromWalk outcome;
    std::uint32_t endAddress;
    std::vector<Block> blocks;
  };
  const Case cases[] = {
      {"nothing", 0, 0, 0, -1, EepromWalk::kDone, 0, {}},
      {"one full block", 0, 64, 0, -1, EepromWalk::kDone, 64, {{0, 64}}},
      {"a short last block", 0, 65, 0, -1, EepromWalk::kDone, 65, {{0, 64}, {64, 1}}},
      {"from the middle",
       100,
       200,
       0,
       -1,
       EepromWalk::kDone,
       300,
       {{100, 64}, {164, 64}, {228, 64}, {292, 8}}},
      {"up to the end",
       EEPROM_BYTES - 10,
       10,
       0,
       -1,
       EepromWalk::kDone,
       EEPROM_BYTES,
       {{EEPROM_BYTES - 10, 10}}},
      {"the second read fails",
       0x7FC0 - 64,
       128,
       2,
       -1,
       EepromWalk::kReadFailed,
       0x7FC0,
       {{0x7FC0 - 64, 64}}},
      {"the first read fails", 0, 10, 1, -1, EepromWalk::kReadFailed, 0, {}},
      {"the callback stops after one", 0, 200, 0, 1, EepromWalk::kStopped, 64, {{0, 64}, {64, 64}}},
      {"the callback stops at once", 10, 20, 0, 0, EepromWalk::kStopped, 10, {{10, 20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.failBlock > 0) FailBlock(c.failBlock);
    std::vector<Block> blocks;
    bool bytesMatch = true;
    const EepromWalkResult walk = ReadEepromRange(
        m_hid, c.address, c.length, [&](std::uint32_t address, std::span<const std::uint8_t> b) {
          blocks.push_back({address, static_cast<std::uint32_t>(b.size())});
          const std::vector<std::uint8_t> expected = Expected(address, b.size());
          bytesMatch = bytesMatch && std::equal(b.begin(), b.end(), expected.begin());
          return c.stopAfter < 0 || static_cast<int>(blocks.size()) <= c.stopAfter;
        });
    EXPECT_EQ(walk.m_outcome, c.outcome);
    EXPECT_EQ(walk.m_address, c.endAddress);
    EXPECT_EQ(blocks, c.blocks);
    EXPECT_TRUE(bytesMatch);
  }
}

TEST_F(EepromRangeTest, ReadIntoFillsTheBufferFromTheRangesStart) {
  struct Case {
    const char* what;
    std::uint32_t address, length;
    int failBlock;
    EepromWalk outcome;
    std::uint32_t readBytes;  // the front of the buffer that holds the device's bytes
    std::vector<std::uint32_t> progress;
  };
  const Case cases[] = {
      {"the whole EEPROM", 0, EEPROM_BYTES, 0, EepromWalk::kDone, EEPROM_BYTES, {}},
      {"a range off the start", 1000, 130, 0, EepromWalk::kDone, 130, {1064, 1128, 1130}},
      {"a failed third block", 64, 256, 3, EepromWalk::kReadFailed, 128, {128, 192}},
      {"nothing", 500, 0, 0, EepromWalk::kDone, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.failBlock > 0) FailBlock(c.failBlock);
    std::vector<std::uint8_t> out(3, 0xAB);  // whatever it held is replaced
    std::vector<std::uint32_t> progress;
    const EepromWalkResult walk = ReadEepromInto(
        m_hid, c.address, c.length, &out, [&](std::uint32_t next) { progress.push_back(next); });
    EXPECT_EQ(walk.m_outcome, c.outcome);
    ASSERT_EQ(out.size(), c.length);
    const std::vector<std::uint8_t> expected = Expected(c.address, c.readBytes);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + c.readBytes, out.end(), [](auto b) { return b == 0; }))
        << "the bytes from the failed block on are 0";
    if (!c.progress.empty()) {
      EXPECT_EQ(progress, c.progress);
    }
    if (c.outcome == EepromWalk::kDone && c.length > 0) {
      EXPECT_EQ(progress.back(), c.address + c.length);
    }
  }
  // Without a progress function the buffer is filled all the same.
  std::vector<std::uint8_t> out;
  EXPECT_EQ(ReadEepromInto(m_hid, 0, 70, &out).m_outcome, EepromWalk::kDone);
  EXPECT_EQ(out, Expected(0, 70));
}

}  // namespace
}  // namespace tessarin
