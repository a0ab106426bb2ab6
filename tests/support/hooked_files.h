// The system's files for a whole-file read, with a step of the test's own
// between the open (and its size check) and the first read.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/file_io.h"

namespace tessarin::testing {

class HookedFiles : public FileOpener {
 public:
  /// Run once per opened file, before its first read: the file may change there.
  std::function<void()> m_beforeRead;
  /// The most bytes one read asked for, over every file opened.
  size_t m_largestRead = 0;

  std::unique_ptr<ReadableFile> OpenForReading(const std::filesystem::path& path,
                                               std::string* err) override {
    std::unique_ptr<ReadableFile> file = SystemFiles().OpenForReading(path, err);
    if (!file) return nullptr;
    return std::make_unique<Hooked>(std::move(file), m_beforeRead, &m_largestRead);
  }

 private:
  class Hooked : public ReadableFile {
   public:
    Hooked(std::unique_ptr<ReadableFile> file, std::function<void()> beforeRead,
           size_t* largestRead)
        : m_file(std::move(file)),
          m_beforeRead(std::move(beforeRead)),
          m_largestRead(largestRead) {}
    uint64_t Size() const override { return m_file->Size(); }
    std::optional<uint64_t> LastWriteTicks() const override { return m_file->LastWriteTicks(); }
    int64_t Read(void* buffer, size_t size, std::string* err) override {
      if (m_beforeRead) std::exchange(m_beforeRead, {})();
      *m_largestRead = std::max(*m_largestRead, size);
      return m_file->Read(buffer, size, err);
    }

   private:
    std::unique_ptr<ReadableFile> m_file;
    std::function<void()> m_beforeRead;
    size_t* m_largestRead;
  };
};

}  // namespace tessarin::testing
