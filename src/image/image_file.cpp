#include "image/image_file.h"

#include "image/utf16.h"
#include "platform/file_io.h"

namespace tessarin {

ImageReadResult ReadImageFile(const std::filesystem::path& path, FileOpener& files) {
  WholeFile file = ReadWholeFile(path, static_cast<uint64_t>(EEPROM_BYTES), files);
  ImageReadResult result;
  result.m_lastWriteTicks = file.m_lastWriteTicks;
  result.m_fileSize = file.m_fileSize;
  switch (file.m_failure) {
    case FileReadFailure::kNone:
      result.m_failure = ImageLoadFailure::kNone;
      result.m_image = std::make_shared<const RomImage>(std::move(file.m_bytes));
      break;
    case FileReadFailure::kCannotOpen:
      result.m_failure = ImageLoadFailure::kCannotOpen;
      result.m_error = file.m_error;
      break;
    case FileReadFailure::kTooLarge:
      result.m_failure = ImageLoadFailure::kTooLarge;
      result.m_error = file.m_grew ? PathForMessage(path) + ": grew past " +
                                         std::to_string(EEPROM_BYTES) + " bytes while it was read"
                                   : PathForMessage(path) + ": " + std::to_string(file.m_fileSize) +
                                         " bytes, more than the " + std::to_string(EEPROM_BYTES) +
                                         " bytes a device holds";
      break;
    case FileReadFailure::kReadError:
      result.m_failure = ImageLoadFailure::kReadError;
      result.m_error = "read " + PathForMessage(path) + ": " + file.m_error;
      break;
  }
  return result;
}

}  // namespace tessarin
