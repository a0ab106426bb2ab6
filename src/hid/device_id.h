// How the programs write a device's vendor and product identifiers.
#pragma once

#include <cstdint>
#include <string>

namespace tessarin {

/// Four upper-case hex digits of the identifier's low 16 bits: "0495" for 0x495.
std::string Hex4(std::uint32_t id);

/// A device's identifiers as "VVVV:PPPP" ("0495:8041").
std::string FormatDeviceId(std::uint32_t vendorId, std::uint32_t productId);

}  // namespace tessarin
