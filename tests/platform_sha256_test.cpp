#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sha256.h"

namespace tessarin {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The published test vectors, the longest image the device holds, and one
// with a length that is no multiple of the 64-byte block.
TEST(Sha256, GivesTheKnownDigests) {
  std::vector<std::uint8_t> image(32768);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i % 251);
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* hex;
  } cases[] = {
      {"empty", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", Bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two blocks", Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::vector<std::uint8_t>(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"32 KB pattern", image, "09fed9cbfb98b6ab0f3e8ff63b7b1f9b0e07d58b225295c78fdc023cc4985a72"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256Hex(c.bytes), c.hex) << c.name;
    std::array<std::uint8_t, 32> digest{};
    ASSERT_TRUE(Sha256Digest(c.bytes, digest)) << c.name;
    EXPECT_EQ(digest[0], std::stoul(std::string(c.hex, 2), nullptr, 16)) << c.name;
    EXPECT_EQ(digest[31], std::stoul(std::string(c.hex + 62, 2), nullptr, 16)) << c.name;
  }
}

}  // namespace
}  // namespace tessarin
