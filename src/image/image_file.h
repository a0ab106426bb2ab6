// Reading an image file from disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "image/rom_image.h"
#include "platform/file_io.h"

namespace tessarin {

/// The text of the refusal message box for an oversized image, and its caption.
inline constexpr char kImageTooLargeText[] = "The file is not for this device!";
inline constexpr char kErrorCaption[] = "Error";

enum class ImageLoadFailure {
  kNone,        ///< m_image holds the whole file
  kCannotOpen,  ///< missing, unreadable, empty path, a directory, FIFO or other non-regular file
  kTooLarge,    ///< longer than EEPROM_BYTES (checked before reading, and again while reading)
  kReadError,   ///< the read failed after the open; nothing partial is returned
};

struct ImageReadResult {
  ImageLoadFailure m_failure = ImageLoadFailure::kCannotOpen;
  std::string m_error;  ///< for a failure: "open <path>: <reason>" and the like
  /// Last-write time of the opened file, 100 ns ticks since 1601-01-01 UTC (unshifted; pass it
  /// to ConvertFileTime). Set whenever the open succeeded and the time could be read, so also
  /// for kTooLarge and kReadError.
  std::optional<uint64_t> m_lastWriteTicks;
  uint64_t m_fileSize = 0;  ///< length found at the open (for kTooLarge: the refused length)
  SharedRomImage m_image;   ///< the whole file for kNone; null otherwise
};

/// Opens `path` through `files` without ever blocking (FIFOs and other non-regular files count
/// as cannot-open), refuses more than EEPROM_BYTES bytes before reading them, and reads the
/// whole file. A file that grows past the limit between the check and the read is refused as
/// kTooLarge. Any thread; touches nothing but the file.
ImageReadResult ReadImageFile(const std::filesystem::path& path, FileOpener& files = SystemFiles());

}  // namespace tessarin
