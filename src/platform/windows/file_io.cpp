// Windows files and clock for the image and the last-file memory.
#include "platform/file_io.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <shlobj.h>

#include <atomic>
#include <string>
#include <system_error>

#include "platform/windows/owned_handle.h"
#include "platform/windows/wide_text.h"

namespace tessarin {
namespace {

std::string LastErrorText() {
  return std::system_category().message(static_cast<int>(::GetLastError()));
}

// Paths in messages as UTF-8; path::string() would throw on names outside the code page.
std::string Show(const std::filesystem::path& path) { return WideToUtf8(path.native()); }

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

constexpr intptr_t kNoHandle = -1;  // INVALID_HANDLE_VALUE

void CloseQuietly(intptr_t h) { OwnedHandle closing(AsHandle(h)); }

}  // namespace

std::optional<ReadOnlyFile> ReadOnlyFile::Open(const std::filesystem::path& path,
                                               std::string* err) {
  const std::string where = "open " + Show(path) + ": ";
  // Shared with nobody while open; a directory fails without FILE_FLAG_BACKUP_SEMANTICS.
  OwnedHandle h(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    if (err) *err = where + LastErrorText();
    return std::nullopt;
  }
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) {
    if (err) *err = where + "not a regular file";
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h.get(), &size)) {
    if (err) *err = where + LastErrorText();
    return std::nullopt;
  }
  ReadOnlyFile file;
  file.m_size = size.QuadPart > 0 ? static_cast<uint64_t>(size.QuadPart) : 0;
  FILETIME written{};
  if (::GetFileTime(h.get(), nullptr, nullptr, &written)) {
    file.m_lastWriteTicks =
        (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  }
  file.m_handle = reinterpret_cast<intptr_t>(h.Release());
  return file;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : m_handle(other.m_handle), m_size(other.m_size), m_lastWriteTicks(other.m_lastWriteTicks) {
  other.m_handle = kNoHandle;
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    CloseQuietly(m_handle);
    m_handle = other.m_handle;
    m_size = other.m_size;
    m_lastWriteTicks = other.m_lastWriteTicks;
    other.m_handle = kNoHandle;
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() { CloseQuietly(m_handle); }

int64_t ReadOnlyFile::Read(void* buffer, size_t size, std::string* err) {
  const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!::ReadFile(AsHandle(m_handle), buffer, chunk, &got, nullptr)) {
    if (err) *err = LastErrorText();
    return -1;
  }
  return got;
}

std::optional<FileLock> FileLock::TryLock(const std::filesystem::path& path, bool* busy,
                                          std::string* err) {
  *busy = false;
  OwnedHandle h(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    if (err) *err = "lock " + Show(path) + ": " + LastErrorText();
    return std::nullopt;
  }
  OVERLAPPED at{};
  if (!::LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    *busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
    if (err) *err = "lock " + Show(path) + ": " + LastErrorText();
    return std::nullopt;
  }
  FileLock lock;
  lock.m_handle = reinterpret_cast<intptr_t>(h.Release());
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : m_handle(other.m_handle) {
  other.m_handle = kNoHandle;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    CloseQuietly(m_handle);
    m_handle = other.m_handle;
    other.m_handle = kNoHandle;
  }
  return *this;
}

// Closing the handle releases the lock.
FileLock::~FileLock() { CloseQuietly(m_handle); }

std::filesystem::path DefaultDataFolder() {
  PWSTR folder = nullptr;
  // The known folder, not %LOCALAPPDATA%: the environment of a program may
  // have been changed, the user's profile has not.
  const HRESULT hr =
      ::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &folder);
  std::filesystem::path path;
  if (SUCCEEDED(hr) && folder) path = std::filesystem::path(folder) / L"Tessarin";
  ::CoTaskMemFree(folder);
  return path;
}

int32_t PlatformTimeZoneBias() {
  TIME_ZONE_INFORMATION info{};
  ::GetTimeZoneInformation(&info);
  return static_cast<int32_t>(info.Bias);
}

namespace {

bool WriteAll(HANDLE h, std::span<const uint8_t> bytes, std::string* reason) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    const size_t left = bytes.size() - done;
    const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    if (!::WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr)) {
      *reason = LastErrorText();
      return false;
    }
    done += wrote;
  }
  return true;
}

// Writes a new file's bytes, flushes them to disk and closes it; false with the reason when
// a step fails (the handle is closed either way).
bool WriteFlushAndClose(OwnedHandle& h, std::span<const uint8_t> bytes, std::string* reason) {
  bool ok = WriteAll(h.get(), bytes, reason);
  if (ok && !::FlushFileBuffers(h.get())) {
    ok = false;
    *reason = LastErrorText();
  }
  h.Reset();
  return ok;
}

// An existing name that is no disk file (NUL, CON, a pipe) is written into, never replaced.
bool WriteIntoDevice(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                     bool* wasDevice, std::string* reason) {
  *wasDevice = false;
  OwnedHandle h(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid() || ::GetFileType(h.get()) == FILE_TYPE_DISK) return false;
  *wasDevice = true;
  return WriteAll(h.get(), bytes, reason);
}

}  // namespace

bool WriteFileReplacing(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                        std::string* err) {
  std::string reason;
  bool wasDevice = false;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (err) *err = "write " + Show(path) + ": it is a directory";
    return false;
  }
  const bool intoDevice = WriteIntoDevice(path, bytes, &wasDevice, &reason);
  if (wasDevice) {
    if (!intoDevice && err) *err = "write " + Show(path) + ": " + reason;
    return intoDevice;
  }

  static std::atomic<unsigned> counter{0};
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
  OwnedHandle h;
  std::filesystem::path temp;
  // A short name of its own, so a target name near the length limit still works.
  for (int attempt = 0; attempt < 100 && !h.valid(); ++attempt) {
    temp = dir / (L".tessarin-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                  std::to_wstring(counter++));
    h.Reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid() && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (!h.valid()) {
    if (err) *err = "create " + Show(path) + ": " + LastErrorText();
    return false;
  }
  if (!WriteFlushAndClose(h, bytes, &reason)) {
    ::DeleteFileW(temp.c_str());
    if (err) *err = "write " + Show(path) + ": " + reason;
    return false;
  }
  if (!::MoveFileExW(temp.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    reason = LastErrorText();
    ::DeleteFileW(temp.c_str());
    if (err) *err = "replace " + Show(path) + ": " + reason;
    return false;
  }
  return true;
}

bool WriteNewFile(const std::filesystem::path& path, std::span<const uint8_t> bytes, bool* exists,
                  std::string* err) {
  *exists = false;
  // CREATE_NEW fails on any name that is there: nothing is replaced.
  OwnedHandle h(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    const DWORD error = ::GetLastError();
    const std::string reason = LastErrorText();
    *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (err) *err = "create " + Show(path) + ": " + reason;
    return false;
  }
  std::string reason;
  const bool ok = WriteFlushAndClose(h, bytes, &reason);
  if (!ok) {
    ::DeleteFileW(path.c_str());
    if (err) *err = "write " + Show(path) + ": " + reason;
  }
  return ok;
}

}  // namespace tessarin

namespace tessarin {

std::optional<SharedFileMapping> SharedFileMapping::Open(const std::filesystem::path& path,
                                                         size_t size, uint8_t fill, bool* created,
                                                         std::string* err) {
  const std::string where = "map " + Show(path) + ": ";
  const auto fail = [&](const std::string& reason) {
    if (err) *err = where + reason;
    return std::nullopt;
  };
  // Shared for reading and writing, so a second process (the test that checks a kept EEPROM)
  // may look while the device is in use.
  OwnedHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return fail(LastErrorText());
  const bool isNew = ::GetLastError() != ERROR_ALREADY_EXISTS;
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(file.get(), &length)) return fail(LastErrorText());
  const auto oldSize = static_cast<uint64_t>(length.QuadPart);
  if (oldSize > size) {
    return fail(std::to_string(oldSize) + " bytes, more than " + std::to_string(size));
  }
  OwnedHandle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0,
                                           static_cast<DWORD>(size), nullptr));
  if (!mapping.valid()) return fail(LastErrorText());
  void* data = ::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, size);
  if (data == nullptr) return fail(LastErrorText());
  SharedFileMapping result;
  result.m_data = static_cast<uint8_t*>(data);
  result.m_size = size;
  result.m_handle = reinterpret_cast<intptr_t>(file.Release());
  result.m_mapping = reinterpret_cast<intptr_t>(mapping.Release());
  for (size_t i = static_cast<size_t>(oldSize); i < size; ++i) result.m_data[i] = fill;
  if (created) *created = isNew;
  return result;
}

void SharedFileMapping::Reset() {
  if (m_data) ::UnmapViewOfFile(m_data);
  m_data = nullptr;
  m_size = 0;
  CloseQuietly(m_mapping);
  CloseQuietly(m_handle);
  m_mapping = kNoHandle;
  m_handle = kNoHandle;
}

}  // namespace tessarin
