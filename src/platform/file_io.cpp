// The whole-file read every reader of a bounded file uses, on top of the
// system's ReadOnlyFile.
#include "platform/file_io.h"

#include <algorithm>
#include <utility>

namespace tessarin {

namespace {

class SystemFile final : public ReadableFile {
 public:
  explicit SystemFile(ReadOnlyFile file) : m_file(std::move(file)) {}
  uint64_t Size() const override { return m_file.Size(); }
  std::optional<uint64_t> LastWriteTicks() const override { return m_file.LastWriteTicks(); }
  int64_t Read(void* buffer, size_t size, std::string* err) override {
    return m_file.Read(buffer, size, err);
  }

 private:
  ReadOnlyFile m_file;
};

class SystemFileOpener final : public FileOpener {
 public:
  std::unique_ptr<ReadableFile> OpenForReading(const std::filesystem::path& path,
                                               std::string* err) override {
    std::optional<ReadOnlyFile> file = ReadOnlyFile::Open(path, err);
    if (!file) return nullptr;
    return std::make_unique<SystemFile>(std::move(*file));
  }
};

}  // namespace

FileOpener& SystemFiles() {
  static SystemFileOpener files;
  return files;
}

WholeFile ReadWholeFile(const std::filesystem::path& path, uint64_t limit, FileOpener& files) {
  WholeFile result;
  const std::unique_ptr<ReadableFile> file = files.OpenForReading(path, &result.m_error);
  if (!file) return result;
  result.m_lastWriteTicks = file->LastWriteTicks();
  result.m_fileSize = file->Size();
  if (result.m_fileSize > limit) {
    result.m_failure = FileReadFailure::kTooLarge;
    result.m_error.clear();
    return result;
  }

  // Room for the size found at the open and one byte more, which tells a file that grew; a
  // file that did grows its buffer, up to one byte beyond the limit (a file that grew too long).
  std::vector<uint8_t> bytes(static_cast<size_t>(result.m_fileSize) + 1);
  size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (total > limit) break;
      bytes.resize(static_cast<size_t>(std::min<uint64_t>(limit + 1, uint64_t{total} * 2)));
    }
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
