#include "image/rom_image.h"

#include <cstdio>

#include "image/compat_state.h"

namespace tessarin {
namespace {

uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void WriteLe16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

constexpr int32_t kMaxMadeImageSize = 16 * 1024 * 1024;

}  // namespace

ImageFields ParseImageFields(std::span<const uint8_t> image) {
  ImageFields fields;
  if (image.size() >= static_cast<size_t>(kHeaderMinSize)) {
    fields.m_hasHeader = true;
    fields.m_versionMajor = image[kVersionMajorOffset];
    fields.m_versionMinor = image[kVersionMinorOffset];
    fields.m_cur = ReadLe16(image, kCurOffset);
  }
  if (image.size() >= static_cast<size_t>(kIdBlockMinSize)) {
    fields.m_hasIdArea = true;
    if (image[kIdBlockOffset] == kIdMarker) {
      fields.m_hasIds = true;
      fields.m_vid = ReadLe16(image, kIdBlockOffset + 1);
      fields.m_pid = ReadLe16(image, kIdBlockOffset + 3);
    }
  }
  return fields;
}

std::string FormatVersion(uint8_t versionMajor, uint8_t versionMinor) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d", versionMajor, versionMinor);
  return text;
}

std::string FormatCur(uint16_t cur) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", cur);
  return text;
}

void ApplyImageIds(const ImageFields& fields, CompatState* state) {
  if (!fields.m_hasIdArea) return;
  if (fields.m_hasIds) {
    state->imageHasIds = 1;
    state->imageVid = fields.m_vid;
    state->imagePid = fields.m_pid;
  } else {
    state->imageHasIds = 0;
  }
}

std::optional<std::vector<uint8_t>> MakeImage(int32_t size, uint8_t versionMajor,
                                              uint8_t versionMinor, uint16_t cur,
                                              std::optional<ImageIds> ids, std::string* err) {
  if (size < 0 || size > kMaxMadeImageSize) {
    if (err)
      *err = "image size " + std::to_string(size) + " is outside 0.." +
             std::to_string(kMaxMadeImageSize);
    return std::nullopt;
  }
  if (ids && size < kIdBlockMinSize) {
    if (err)
      *err = "an identifier block needs at least " + std::to_string(kIdBlockMinSize) +
             " bytes, not " + std::to_string(size);
    return std::nullopt;
  }
  std::vector<uint8_t> image(static_cast<size_t>(size));
  // A pattern that differs from byte to byte and from page to page, so that a misplaced or
  // skipped block shows up when the image is compared with what a device holds.
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>((i * 31 + (i >> 8) * 7 + 0x5A) & 0xFF);
  }
  if (image.size() > kVersionMinorOffset) image[kVersionMinorOffset] = versionMinor;
  if (image.size() > kVersionMajorOffset) image[kVersionMajorOffset] = versionMajor;
  if (image.size() > kCurOffset) image[kCurOffset] = static_cast<uint8_t>(cur & 0xFF);
  if (image.size() > kCurOffset + 1) image[kCurOffset + 1] = static_cast<uint8_t>(cur >> 8);
  if (image.size() >= static_cast<size_t>(kIdBlockMinSize)) {
    if (ids) {
      image[kIdBlockOffset] = kIdMarker;
      WriteLe16(image, kIdBlockOffset + 1, ids->m_vid);
      WriteLe16(image, kIdBlockOffset + 3, ids->m_pid);
    } else {
      image[kIdBlockOffset] = 0x00;
    }
  }
  return image;
}

}  // namespace tessarin
