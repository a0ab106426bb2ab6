// The SHA-256 of an image, for the unit records (OpenSSL's libcrypto).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tessarin {

/// 64 lower-case hex digits; empty if the library failed.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace tessarin
