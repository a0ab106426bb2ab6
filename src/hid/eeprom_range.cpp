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

EepromWalkResult ReadEepromInto(HidDeviceManager& hid, std::uint32_t address, std::uint32_t length,
                                std::vector<std::uint8_t>* out,
                                const std::function<void(std::uint32_t next)>& onProgress) {
  out->assign(length, 0);
  const std::uint32_t start = address;
  return ReadEepromRange(hid, address, length,
                         [&](std::uint32_t at, std::span<const std::uint8_t> bytes) {
                           std::copy(bytes.begin(), bytes.end(), out->begin() + (at - start));
                           if (onProgress)
                             onProgress(at + static_cast<std::uint32_t>(bytes.size()));
                           return true;
                         });
}

}  // namespace tessarin
