#include "image/image_file.h"

#include "image/utf16.h"
#include "platform/file_io.h"

namespace tessarin {

ImageReadResult ReadImageFile(const std::filesystem::path& path, const ImageReadOptions& options) {
  ImageReadResult result;
  std::optional<ReadOnlyFile> file = ReadOnlyFile::Open(path, &result.m_error);
  if (!file) {
    result.m_failure = ImageLoadFailure::kCannotOpen;
    return result;
  }
  result.m_lastWriteTicks = file->LastWriteTicks();
  result.m_fileSize = file->Size();
  if (result.m_fileSize > static_cast<uint64_t>(kMaxImageSize)) {
    result.m_failure = ImageLoadFailure::kTooLarge;
    result.m_error = PathForMessage(path) + ": " + std::to_string(result.m_fileSize) +
                     " bytes, more than the " + std::to_string(kMaxImageSize) +
                     " bytes a device holds";
    return result;
  }
  if (options.m_afterSizeCheck) options.m_afterSizeCheck();

  // Read until the end rather than trusting the length: the file may have changed since the
  // open. One byte of room beyond the limit tells a file that grew too long.
  std::vector<uint8_t> bytes(static_cast<size_t>(kMaxImageSize) + 1);
  size_t total = 0;
  while (total < bytes.size()) {
    std::string readError;
    const int64_t got = file->Read(bytes.data() + total, bytes.size() - total, &readError);
    if (got < 0) {
      result.m_failure = ImageLoadFailure::kReadError;
      result.m_error = "read " + PathForMessage(path) + ": " + readError;
      return result;
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  if (total > static_cast<size_t>(kMaxImageSize)) {
    result.m_failure = ImageLoadFailure::kTooLarge;
    result.m_fileSize = total;
    result.m_error = PathForMessage(path) + ": grew past " + std::to_string(kMaxImageSize) +
                     " bytes while it was read";
    return result;
  }
  bytes.resize(total);
  bytes.shrink_to_fit();
  result.m_image.m_imageData = std::move(bytes);
  result.m_image.m_imageSize = static_cast<int32_t>(total);
  result.m_failure = ImageLoadFailure::kNone;
  result.m_error.clear();
  return result;
}

}  // namespace tessarin
