// The device lock: a recursive mutex with bounded waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tessarin {

/// Recursive and timed, like std::recursive_timed_mutex, and usable with
/// std::unique_lock and std::lock_guard. Built on a mutex and a condition
/// variable because libstdc++'s timed mutex waits through
/// pthread_mutex_clocklock, which ThreadSanitizer does not see, so every
/// report about the device lock would be noise.
class DeviceMutex {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(m_guard);
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner == self) {
      ++m_depth;
      return;
    }
    m_free.wait(guard, [this] { return m_depth == 0; });
    m_owner = self;
    m_depth = 1;
  }

  bool try_lock() { return try_lock_for(std::chrono::nanoseconds(0)); }

  template <typename Rep, typename Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<std::mutex> guard(m_guard);
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner == self) {
      ++m_depth;
      return true;
    }
    if (!m_free.wait_until(guard, deadline, [this] { return m_depth == 0; })) return false;
    m_owner = self;
    m_depth = 1;
    return true;
  }

  /// Only the owner may unlock.
  void unlock() {
    std::lock_guard<std::mutex> guard(m_guard);
    if (--m_depth == 0) {
      m_owner = std::thread::id();
      m_free.notify_one();
    }
  }

 private:
  std::mutex m_guard;
  std::condition_variable m_free;
  std::thread::id m_owner;
  int m_depth = 0;
};

}  // namespace tessarin
