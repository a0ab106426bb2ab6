// The few file and clock operations that differ between operating systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tessarin {

/// An open, existing regular file, read only. Move-only; closed by the destructor.
class ReadOnlyFile {
 public:
  /// Opens `path` for reading without ever blocking: a directory, FIFO, device or socket is
  /// refused ("not a regular file"), as is a missing or unreadable file. Reason in *err as
  /// "open <path>: <reason>".
  static std::optional<ReadOnlyFile> Open(const std::filesystem::path& path, std::string* err);

  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();

  /// Length at the time of the open.
  uint64_t Size() const { return m_size; }
  /// Last-write time as 100 ns ticks since 1601-01-01 UTC; nullopt if it cannot be read or
  /// lies before 1601.
  std::optional<uint64_t> LastWriteTicks() const { return m_lastWriteTicks; }
  /// Reads up to `size` bytes at the current position. Returns the count (0 at the end) or -1
  /// with the reason in *err.
  int64_t Read(void* buffer, size_t size, std::string* err);

 private:
  ReadOnlyFile() = default;
  intptr_t m_handle = -1;
  uint64_t m_size = 0;
  std::optional<uint64_t> m_lastWriteTicks;
};

/// How a whole-file read ended.
enum class FileReadFailure {
  kNone,        ///< m_bytes holds the whole file
  kCannotOpen,  ///< missing, unreadable, or not a regular file (a FIFO never blocks the read)
  kTooLarge,    ///< longer than the limit: at the open, or grown past it while it was read
  kReadError,   ///< a read failed after the open; nothing partial is kept
};

struct WholeFile {
  FileReadFailure m_failure = FileReadFailure::kCannotOpen;
  /// kCannotOpen: "open <path>: <reason>"; kReadError: the OS reason alone.
  std::string m_error;
  std::vector<uint8_t> m_bytes;
  /// The length found at the open; for a file that grew too long, the bytes read.
  uint64_t m_fileSize = 0;
  /// As ReadOnlyFile::LastWriteTicks, whenever the open succeeded.
  std::optional<uint64_t> m_lastWriteTicks;
  /// True when the file grew past the limit while it was read (kTooLarge).
  bool m_grew = false;
};

/// A file open for reading, as a whole-file read sees it.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  /// Length at the time of the open.
  virtual uint64_t Size() const = 0;
  /// As ReadOnlyFile::LastWriteTicks.
  virtual std::optional<uint64_t> LastWriteTicks() const = 0;
  /// Reads up to `size` bytes at the current position. Returns the count (0 at the end) or -1
  /// with the reason in *err.
  virtual int64_t Read(void* buffer, size_t size, std::string* err) = 0;
};

/// Where whole-file reads open their files: SystemFiles() (the real ones, through
/// ReadOnlyFile), or a test's own whose files change or fail while they are read.
class FileOpener {
 public:
  virtual ~FileOpener() = default;
  /// As ReadOnlyFile::Open: null with "open <path>: <reason>" in *err.
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::filesystem::path& path,
                                                       std::string* err) = 0;
};

/// The system's files. Any thread.
FileOpener& SystemFiles();

/// Opens `path` through `files`, refuses a file longer than `limit` before reading it, then
/// reads until the end (the file may have changed since the open) and refuses it again if it
/// grew past the limit. Any thread.
WholeFile ReadWholeFile(const std::filesystem::path& path, uint64_t limit,
                        FileOpener& files = SystemFiles());

/// An exclusive lock on a file, held until the object goes (or the process ends: the system
/// releases it then, however the process ended). Move-only.
class FileLock {
 public:
  /// Creates `path` when missing and locks it without waiting. Null when another holder has
  /// it (*busy = true) or it cannot be locked (*busy = false, reason in *err).
  static std::optional<FileLock> TryLock(const std::filesystem::path& path, bool* busy,
                                         std::string* err);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  FileLock() = default;
  intptr_t m_handle = -1;
};

/// The folder a program keeps the files it makes in when the user names no
/// place: on Windows the user's local application data folder's own
/// "Tessarin" folder (%LOCALAPPDATA%\Tessarin; not created here); on Linux,
/// and where Windows names no such folder, empty: the current folder, as
/// command-line tools there use.
std::filesystem::path DefaultDataFolder();

/// The local zone's base bias in minutes (UTC = local standard time + bias), read afresh.
int32_t PlatformTimeZoneBias();

/// Writes `bytes` to `path`, every write, flush and close checked. A symbolic link is followed
/// and the file it names is written. A regular file (or a new one) is replaced whole: a
/// temporary file beside it is written, flushed to disk and renamed over it, keeping an
/// existing file's mode, so a failure leaves the old file untouched. A file that is not a
/// regular file (a terminal, a device node, a FIFO with a reader) is written into, never
/// replaced; a directory is refused. On failure the reason is in *err as
/// "<step> <path>: <reason>" (step: create, write or replace), naming `path` as given.
bool WriteFileReplacing(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                        std::string* err);

/// Creates `path` as a new file, writes `bytes` into it and flushes it to disk. A name that is
/// taken (a file, a directory, a symbolic link, even a dangling one) is never opened: false with
/// *exists = true and nothing touched. On any other failure false with *exists = false, the
/// reason in *err as "<step> <path>: <reason>" (step: create or write) and nothing left under
/// the name. Any thread.
bool WriteNewFile(const std::filesystem::path& path, std::span<const uint8_t> bytes, bool* exists,
                  std::string* err);

/// A file mapped into memory and shared with it: every byte stored through Data() is in the
/// file at once, so it survives the death of the process (not a power cut). Move-only; unmapped
/// and closed by the destructor. Any thread may use the bytes; the owner serialises access.
class SharedFileMapping {
 public:
  /// Opens `path` (created when missing) and maps its first `size` bytes. A new file, or the
  /// part a shorter file lacks, is filled with `fill`. A file longer than `size` is refused.
  /// *created tells whether the file was new. Reason in *err ("map <path>: <reason>").
  static std::optional<SharedFileMapping> Open(const std::filesystem::path& path, size_t size,
                                               uint8_t fill, bool* created, std::string* err);

  SharedFileMapping(SharedFileMapping&& other) noexcept { Swap(other); }
  SharedFileMapping& operator=(SharedFileMapping&& other) noexcept {
    if (this != &other) {
      Reset();
      Swap(other);
    }
    return *this;
  }
  SharedFileMapping(const SharedFileMapping&) = delete;
  SharedFileMapping& operator=(const SharedFileMapping&) = delete;
  ~SharedFileMapping() { Reset(); }

  uint8_t* Data() const { return m_data; }
  size_t Size() const { return m_size; }

 private:
  SharedFileMapping() = default;
  void Swap(SharedFileMapping& other) noexcept {
    std::swap(m_data, other.m_data);
    std::swap(m_size, other.m_size);
    std::swap(m_handle, other.m_handle);
    std::swap(m_mapping, other.m_mapping);
  }
  /// Unmaps and closes: the platform's part.
  void Reset();
  uint8_t* m_data = nullptr;
  size_t m_size = 0;
  intptr_t m_handle = -1;   ///< the file
  intptr_t m_mapping = -1;  ///< Windows: the mapping object; unused elsewhere
};

}  // namespace tessarin
