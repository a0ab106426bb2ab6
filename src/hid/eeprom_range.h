// Reading a range of the current device's EEPROM block by block: the one
// reader behind the burn's verify, the command-line tool's dump, backup and
// verify, and whatever else walks the EEPROM.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tessarin {

class HidDeviceManager;

/// Called after each block with the block's address and its bytes; returns
/// false to stop the walk there.
using EepromBlockFn =
    std::function<bool(std::uint32_t address, std::span<const std::uint8_t> bytes)>;

enum class EepromWalk {
  kDone,        ///< every block was read and accepted
  kReadFailed,  ///< the read of the block at `m_address` failed
  kStopped,     ///< the callback stopped after the block at `m_address`
};

struct EepromWalkResult {
  EepromWalk m_outcome = EepromWalk::kDone;
  std::uint32_t m_address = 0;
};

/// Reads `length` bytes from `address` on in blocks of READ_BLOCK_MAX (the
/// last one shorter), calling `onBlock` after each. Any thread; each block
/// takes the device lock through ReadBlock.
EepromWalkResult ReadEepromRange(HidDeviceManager& hid, std::uint32_t address, std::uint32_t length,
                                 const EepromBlockFn& onBlock);

/// ReadEepromRange into a buffer: *out becomes `length` bytes, the byte of
/// EEPROM address `address + i` at index i, and `onProgress(next address)` is
/// called after each block. After a failed read (kReadFailed at the block's
/// address) the bytes from that block on are 0.
EepromWalkResult ReadEepromInto(HidDeviceManager& hid, std::uint32_t address, std::uint32_t length,
                                std::vector<std::uint8_t>* out,
                                const std::function<void(std::uint32_t next)>& onProgress = {});

}  // namespace tessarin
