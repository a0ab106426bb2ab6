// The whole-file read every reader of a bounded file uses, on top of the
// system's ReadOnlyFile.
#include "platform/file_io.h"

namespace tessarin {

WholeFile ReadWholeFile(const std::filesystem::path& path, uint64_t limit,
                        const std::function<void()>& afterSizeCheck) {
  WholeFile result;
  std::optional<ReadOnlyFile> file = ReadOnlyFile::Open(path, &result.m_error);
  if (!file) return result;
  result.m_lastWriteTicks = file->LastWriteTicks();
  result.m_fileSize = file->Size();
  if (result.m_fileSize > limit) {
    result.m_failure = FileReadFailure::kTooLarge;
    result.m_error.clear();
    return result;
  }
  if (afterSizeCheck) afterSizeCheck();

  // One byte of room beyond the limit tells a file that grew too long.
  std::vector<uint8_t> bytes(static_cast<size_t>(limit) + 1);
  size_t total = 0;
  while (total < bytes.size()) {
    std::string readError;
    const int64_t got = file->Read(bytes.data() + total, bytes.size() - total, &readError);
    if (got < 0) {
      result.m_failure = FileReadFailure::kReadError;
      result.m_error = readError;
      return result;
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  if (total > limit) {
    result.m_failure = FileReadFailure::kTooLarge;
    result.m_fileSize = total;
    result.m_grew = true;
    result.m_error.clear();
    return result;
  }
  bytes.resize(total);
  bytes.shrink_to_fit();
  result.m_bytes = std::move(bytes);
  result.m_failure = FileReadFailure::kNone;
  result.m_error.clear();
  return result;
}

}  // namespace tessarin
