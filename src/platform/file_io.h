// The few file and clock operations that differ between operating systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

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

/// The local zone's base bias in minutes (UTC = local standard time + bias), read afresh.
int32_t PlatformTimeZoneBias();

/// Writes `bytes` to a new temporary file in the directory of `path`, flushes it to disk and
/// renames it over `path`. On any failure the temporary file is removed, `path` is untouched,
/// and the reason is in *err.
bool WriteFileReplacing(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                        std::string* err);

/// For tests: creates a FIFO. False where the system has none.
bool CreateFifo(const std::filesystem::path& path, std::string* err);
/// For tests: switches the process's time zone to a TZ rule such as "CET-1CEST,M3.5.0,M10.5.0/3".
/// False where that cannot be done.
bool SetProcessTimeZone(const std::string& tz);

}  // namespace tessarin
