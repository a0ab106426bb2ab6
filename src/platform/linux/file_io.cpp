// POSIX files and clock for the image and the last-file memory.
#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace tessarin {
namespace {

std::string ErrnoText(int error) { return std::generic_category().message(error); }

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;

std::optional<uint64_t> TicksFromTimespec(const struct timespec& ts) {
  const int64_t seconds = static_cast<int64_t>(ts.tv_sec) + kSecondsFrom1601To1970;
  if (seconds < 0) return std::nullopt;
  const auto s = static_cast<uint64_t>(seconds);
  if (s > (UINT64_MAX - 9999999ULL) / 10000000ULL) return std::nullopt;
  return s * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

void CloseQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

bool WriteAll(int fd, const uint8_t* data, size_t size, std::string* err) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = ErrnoText(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<ReadOnlyFile> ReadOnlyFile::Open(const std::filesystem::path& path,
                                               std::string* err) {
  const std::string where = "open " + path.string() + ": ";
  struct stat st {};
  // Look before opening, so that a device node is never opened at all; check again on the open
  // descriptor, since the name may have been replaced in between.
  if (::stat(path.c_str(), &st) != 0) {
    if (err) *err = where + ErrnoText(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    if (err) *err = where + "not a regular file";
    return std::nullopt;
  }
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (err) *err = where + ErrnoText(errno);
    return std::nullopt;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (err) *err = where + "not a regular file";
    CloseQuietly(fd);
    return std::nullopt;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  ReadOnlyFile file;
  file.m_handle = fd;
  file.m_size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  file.m_lastWriteTicks = TicksFromTimespec(st.st_mtim);
  return file;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : m_handle(other.m_handle), m_size(other.m_size), m_lastWriteTicks(other.m_lastWriteTicks) {
  other.m_handle = -1;
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    CloseQuietly(static_cast<int>(m_handle));
    m_handle = other.m_handle;
    m_size = other.m_size;
    m_lastWriteTicks = other.m_lastWriteTicks;
    other.m_handle = -1;
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() { CloseQuietly(static_cast<int>(m_handle)); }

int64_t ReadOnlyFile::Read(void* buffer, size_t size, std::string* err) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(m_handle), buffer, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (err) *err = ErrnoText(errno);
    return -1;
  }
}

std::optional<FileLock> FileLock::TryLock(const std::filesystem::path& path, bool* busy,
                                          std::string* err) {
  *busy = false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    if (err) *err = "lock " + path.string() + ": " + ErrnoText(errno);
    return std::nullopt;
  }
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    *busy = errno == EWOULDBLOCK;
    if (err) *err = "lock " + path.string() + ": " + ErrnoText(errno);
    CloseQuietly(fd);
    return std::nullopt;
  }
  FileLock lock;
  lock.m_handle = fd;
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : m_handle(other.m_handle) { other.m_handle = -1; }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    CloseQuietly(static_cast<int>(m_handle));
    m_handle = other.m_handle;
    other.m_handle = -1;
  }
  return *this;
}

// Closing the descriptor releases the lock.
FileLock::~FileLock() { CloseQuietly(static_cast<int>(m_handle)); }

// A command-line tool keeps what it makes in the folder it was started in.
std::filesystem::path DefaultDataFolder() { return {}; }

int32_t PlatformTimeZoneBias() {
  ::tzset();
  // `timezone`: seconds west of UTC of the zone's standard time.
  return static_cast<int32_t>(::timezone / 60);
}

namespace {

// Follows `path` through symbolic links (relative links resolve against the
// link's own folder) to the name that is really written; a dangling link
// gives the name it points to, so writing creates that file.
std::filesystem::path FollowLinks(const std::filesystem::path& path) {
  std::filesystem::path current = path;
  for (int depth = 0; depth < 40; ++depth) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(current, ec))) break;
    std::filesystem::path target = std::filesystem::read_symlink(current, ec);
    if (ec) break;
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  return current;
}

bool FsyncIfSupported(int fd, std::string* reason) {
  if (::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP || errno == EROFS) return true;
  *reason = ErrnoText(errno);
  return false;
}

// Writes into an existing file that is not a regular file (a terminal, a
// device node, a FIFO with a reader), as a shell redirection would.
bool WriteInto(const std::filesystem::path& target, std::span<const uint8_t> bytes,
               std::string* reason) {
  // O_NONBLOCK for the open only: a FIFO without a reader fails (ENXIO)
  // instead of waiting for ever.
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *reason = errno == ENXIO ? std::string("nothing reads from it") : ErrnoText(errno);
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  bool ok = WriteAll(fd, bytes.data(), bytes.size(), reason) && FsyncIfSupported(fd, reason);
  if (::close(fd) != 0 && ok) {
    ok = false;
    *reason = ErrnoText(errno);
  }
  return ok;
}

// Writes a new file beside `target` and renames it over, so `target` is
// either the old file or the whole new one. An existing file keeps its mode.
bool ReplaceRegular(const std::filesystem::path& target, const struct stat* existing,
                    std::span<const uint8_t> bytes, std::string* step, std::string* reason) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
  int fd = -1;
  std::filesystem::path temp;
  // A short name of its own, so a target name near the length limit still works.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = dir / (".tessarin-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                existing ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *step = "create";
    *reason = ErrnoText(errno);
    return false;
  }
  bool ok = true;
  if (existing && ::fchmod(fd, existing->st_mode & 07777) != 0) {
    ok = false;
    *reason = "cannot keep its mode: " + ErrnoText(errno);
  }
  ok = ok && WriteAll(fd, bytes.data(), bytes.size(), reason) && FsyncIfSupported(fd, reason);
  if (::close(fd) != 0 && ok) {
    ok = false;
    *reason = ErrnoText(errno);
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    *step = "replace";
    *reason = ErrnoText(errno);
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

bool WriteFileReplacing(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                        std::string* err) {
  const std::filesystem::path target = FollowLinks(path);
  std::string step = "write";
  std::string reason;
  struct stat st {};
  bool ok = false;
  if (::stat(target.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      ok = ReplaceRegular(target, nullptr, bytes, &step, &reason);
    } else {
      reason = ErrnoText(errno);
    }
  } else if (S_ISDIR(st.st_mode)) {
    reason = "it is a directory";
  } else if (S_ISREG(st.st_mode)) {
    ok = ReplaceRegular(target, &st, bytes, &step, &reason);
  } else {
    ok = WriteInto(target, bytes, &reason);
  }
  if (!ok && err) *err = step + " " + path.string() + ": " + reason;
  return ok;
}

bool WriteNewFile(const std::filesystem::path& path, std::span<const uint8_t> bytes, bool* exists,
                  std::string* err) {
  *exists = false;
  // O_EXCL fails on any name that is there, a symbolic link included: nothing is written
  // through a link, nothing is replaced.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    *exists = errno == EEXIST;
    if (err) *err = "create " + path.string() + ": " + ErrnoText(errno);
    return false;
  }
  std::string reason;
  bool ok = WriteAll(fd, bytes.data(), bytes.size(), &reason) && FsyncIfSupported(fd, &reason);
  if (::close(fd) != 0 && ok) {
    ok = false;
    reason = ErrnoText(errno);
  }
  if (!ok) {
    ::unlink(path.c_str());
    if (err) *err = "write " + path.string() + ": " + reason;
  }
  return ok;
}

}  // namespace tessarin

namespace tessarin {

std::optional<SharedFileMapping> SharedFileMapping::Open(const std::filesystem::path& path,
                                                         size_t size, uint8_t fill, bool* created,
                                                         std::string* err) {
  const std::string where = "map " + path.string() + ": ";
  const auto fail = [&](const std::string& reason) {
    if (err) *err = where + reason;
    return std::nullopt;
  };
  bool isNew = false;
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    isNew = fd >= 0;
  }
  if (fd < 0) return fail(ErrnoText(errno));
  SharedFileMapping mapping;
  mapping.m_handle = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(ErrnoText(errno));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  const auto oldSize = static_cast<uint64_t>(st.st_size);
  if (oldSize > size) {
    return fail(std::to_string(oldSize) + " bytes, more than " + std::to_string(size));
  }
  if (oldSize < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    return fail(ErrnoText(errno));
  }
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return fail(ErrnoText(errno));
  mapping.m_data = static_cast<uint8_t*>(data);
  mapping.m_size = size;
  for (size_t i = static_cast<size_t>(oldSize); i < size; ++i) mapping.m_data[i] = fill;
  if (created) *created = isNew;
  return mapping;
}

void SharedFileMapping::Reset() {
  if (m_data) ::munmap(m_data, m_size);
  m_data = nullptr;
  m_size = 0;
  CloseQuietly(static_cast<int>(m_handle));
  m_handle = -1;
}

}  // namespace tessarin
