#include "platform/sha256.h"

namespace tessarin {

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 32> digest{};
  if (!Sha256Digest(bytes, digest)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (std::uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  return text;
}

}  // namespace tessarin
