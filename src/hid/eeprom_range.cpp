#include "hid/eeprom_range.h"

#include <algorithm>
#include <array>

#include "hid/hid_device_manager.h"
#include "hid/protocol.h"

namespace tessarin {

EepromWalkResult ReadEepromRange(HidDeviceManager& hid, std::uint32_t address, std::uint32_t length,
                                 const EepromBlockFn& onBlock) {
  std::array<std::uint8_t, READ_BLOCK_MAX> block{};
  const std::uint32_t end = address + length;
  while (address < end) {
    const auto n = std::min<std::uint32_t>(end - address, READ_BLOCK_MAX);
    if (!hid.ReadBlock(address, static_cast<int>(n), block.data())) {
      return {EepromWalk::kReadFailed, address};
    }
    if (onBlock && !onBlock(address, std::span<const std::uint8_t>(block.data(), n))) {
      return {EepromWalk::kStopped, address};
    }
    address += n;
  }
  return {EepromWalk::kDone, address};
}

}  // namespace tessarin
