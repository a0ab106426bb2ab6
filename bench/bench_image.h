// The image the benchmarks burn: 32 KB of fixed pseudo-random bytes, valid
// (its first byte is not 0xFF).
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "hid/protocol.h"
#include "image/rom_image.h"

namespace tessarin {

inline SharedRomImage FullImage() {
  std::vector<std::uint8_t> image(EEPROM_BYTES);
  std::mt19937 random(1);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  image[0] = 0x41;
  return std::make_shared<const RomImage>(std::move(image));
}

}  // namespace tessarin
