// Owns one Windows kernel handle and closes it when it goes: every HANDLE
// the project opens is held in one.
#pragma once

#include <windows.h>

#include <utility>

namespace tessarin {

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : m_handle(other.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Reset(); }

  HANDLE get() const { return m_handle; }
  /// Neither INVALID_HANDLE_VALUE nor null (the two "no handle" values of the API).
  bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
  /// Gives the handle up without closing it.
  HANDLE Release() { return std::exchange(m_handle, INVALID_HANDLE_VALUE); }
  /// Closes the handle held, if any, and holds `handle` instead.
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(m_handle);
    m_handle = handle;
  }

 private:
  HANDLE m_handle;
};

}  // namespace tessarin
