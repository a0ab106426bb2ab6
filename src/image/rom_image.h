// The firmware image as held in memory, its header fields and identifier block.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessarin {

struct CompatState;

/// Largest image the device's EEPROM takes; a longer file is refused before it is read.
inline constexpr int32_t kMaxImageSize = 32768;
/// The version and Cur fields are read only from images of at least this many bytes.
inline constexpr int32_t kHeaderMinSize = 16;
inline constexpr int32_t kVersionMinorOffset = 4;
inline constexpr int32_t kVersionMajorOffset = 5;
inline constexpr int32_t kCurOffset = 10;  // 16-bit little-endian
/// The identifier block (`ImageIdBlock`): marker, vendor ID, product ID (both little-endian).
inline constexpr int32_t kIdBlockOffset = 0x7070;
inline constexpr int32_t kIdBlockMinSize = 0x7075;  // 28789
inline constexpr uint8_t kIdMarker = 0xA5;
/// Serial-number string descriptor area at the end of the EEPROM.
inline constexpr int32_t kSerialAreaOffset = 0x7FC0;

/// The held image. Whether an image is held at all (an empty image counts as held) is up to
/// the owner, e.g. a null `std::shared_ptr<const RomImage>`; a burn worker should get its own
/// shared reference so that a reload never frees bytes it is reading.
struct RomImage {
  std::vector<uint8_t> m_imageData;
  int32_t m_imageSize = 0;  ///< always m_imageData.size(), 0..kMaxImageSize
};

/// The fields that the image's first bytes and its identifier block carry.
struct ImageFields {
  bool m_hasHeader = false;  ///< image has at least kHeaderMinSize bytes
  uint8_t m_versionMajor = 0;
  uint8_t m_versionMinor = 0;
  uint16_t m_cur = 0;
  bool m_hasIdArea = false;  ///< image has at least kIdBlockMinSize bytes
  bool m_hasIds = false;     ///< m_hasIdArea and the marker byte is kIdMarker
  uint16_t m_vid = 0;        ///< valid only when m_hasIds
  uint16_t m_pid = 0;        ///< valid only when m_hasIds
};

/// Reads the header fields and the identifier block of an image of any length.
ImageFields ParseImageFields(std::span<const uint8_t> image);

/// "%d.%d" with major first, e.g. "3.8".
std::string FormatVersion(uint8_t versionMajor, uint8_t versionMinor);
/// "%d", e.g. "4660".
std::string FormatCur(uint16_t cur);

/// Takes an image's identifier block into the image side of `state`: an image long enough to
/// have a block sets `imageHasIds` (and, with the marker, `imageVid`/`imagePid`); a shorter
/// image leaves the image side as the previous image left it.
void ApplyImageIds(const ImageFields& fields, CompatState* state);

struct ImageIds {
  uint16_t m_vid = 0;
  uint16_t m_pid = 0;
};

/// Builds a valid image of `size` bytes (any size >= 0, also above kMaxImageSize so that the
/// refusal can be tried): a deterministic non-trivial byte pattern with the version and Cur
/// fields where they fit, and the identifier block when `ids` is given. Without `ids` the
/// marker byte is never 0xA5. Fails (nullopt, reason in *err) for a negative size, a size
/// above 16 MiB, or `ids` with a size below kIdBlockMinSize.
std::optional<std::vector<uint8_t>> MakeImage(int32_t size, uint8_t versionMajor,
                                              uint8_t versionMinor, uint16_t cur,
                                              std::optional<ImageIds> ids = std::nullopt,
                                              std::string* err = nullptr);

}  // namespace tessarin
