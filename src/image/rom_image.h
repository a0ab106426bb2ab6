// The firmware image as held in memory, its header fields and identifier block.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hid/protocol.h"

namespace tessarin {

struct CompatState;

/// The version and Cur fields are read only from images of at least this many bytes.
inline constexpr int32_t kHeaderMinSize = 16;
inline constexpr int32_t kVersionMinorOffset = 4;
inline constexpr int32_t kVersionMajorOffset = 5;
inline constexpr int32_t kCurOffset = 10;  // 16-bit little-endian
/// The identifier block (`ImageIdBlock`): marker, vendor ID, product ID (both little-endian).
inline constexpr int32_t kIdBlockOffset = 0x7070;
inline constexpr int32_t kIdBlockMinSize = 0x7075;  // 28789
inline constexpr uint8_t kIdMarker = 0xA5;
/// The held image, immutable once loaded. It is passed around as a SharedRomImage: the
/// dialog, a burn and the commands of the command-line tool each hold a reference, so a
/// reload never frees or changes bytes a burn reads. Whether an image is held at all (an
/// empty image counts as held) is whether the reference is null.
class RomImage {
 public:
  explicit RomImage(std::vector<uint8_t> imageData) : m_imageData(std::move(imageData)) {}

  const std::vector<uint8_t>& ImageData() const { return m_imageData; }
  /// The length of ImageData(), 0..EEPROM_BYTES for an image read from a file.
  int32_t ImageSize() const { return static_cast<int32_t>(m_imageData.size()); }

 private:
  std::vector<uint8_t> m_imageData;
};

using SharedRomImage = std::shared_ptr<const RomImage>;

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

/// Builds a valid image of `size` bytes (any size >= 0, also above EEPROM_BYTES so that the
/// refusal can be tried): a deterministic non-trivial byte pattern with the version and Cur
/// fields where they fit, and the identifier block when `ids` is given. Without `ids` the
/// marker byte is never 0xA5. Fails (nullopt, reason in *err) for a negative size, a size
/// above 16 MiB, or `ids` with a size below kIdBlockMinSize.
std::optional<std::vector<uint8_t>> MakeImage(int32_t size, uint8_t versionMajor,
                                              uint8_t versionMinor, uint16_t cur,
                                              std::optional<ImageIds> ids = std::nullopt,
                                              std::string* err = nullptr);

}  // namespace tessarin
