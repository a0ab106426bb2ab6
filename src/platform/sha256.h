// The SHA-256 of an image, for the unit records: each system's own
// cryptography (OpenSSL's libcrypto on Linux, CNG on Windows).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tessarin {

/// The digest's 32 bytes in `digest`; false (and `digest` unspecified) if the
/// library failed. Any thread.
bool Sha256Digest(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest);

/// 64 lower-case hex digits; empty if the library failed. Any thread.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace tessarin
