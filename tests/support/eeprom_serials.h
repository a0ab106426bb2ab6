// The serials in simulated devices' EEPROM files (kept with --simulate
// "dir=..."): what the station tests check after a run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "hid/protocol.h"

namespace tessarin::testing {

/// The serial in a kept EEPROM's descriptor; empty when there is none.
inline std::string SerialIn(const std::filesystem::path& eepromFile) {
  std::ifstream in(eepromFile, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.size() < EEPROM_BYTES) return "";
  const auto at = [&](std::size_t i) {
    return static_cast<std::uint8_t>(bytes[SERIAL_ADDRESS + i]);
  };
  if (at(0) == 0xFF || at(1) != 0x03 || at(0) < 2 || at(0) > 64) return "";
  std::string serial;
  for (std::size_t i = 2; i < at(0); i += 2) serial += static_cast<char>(at(i));
  return serial;
}

/// Every serial on any unit's device under `root`, with the file it is in.
inline std::multimap<std::string, std::filesystem::path> SerialsOnDevices(
    const std::filesystem::path& root) {
  std::multimap<std::string, std::filesystem::path> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().extension() != ".eeprom") continue;
    const std::string serial = SerialIn(entry.path());
    if (!serial.empty()) found.emplace(serial, entry.path());
  }
  return found;
}

}  // namespace tessarin::testing
