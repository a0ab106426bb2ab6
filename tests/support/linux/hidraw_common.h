// What the hidraw tests use on either testbed (umockdev's emulated nodes or
// the kernel's nodes of uhid devices): the real backend and a count of open
// file descriptors.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/hid_platform.h"

namespace tessarin::testing {

/// The real backend of this system; a failed start fails the test.
inline std::unique_ptr<HidBackend> NewPlatformBackend() {
  std::string error;
  auto backend = CreatePlatformHidBackend(&error);
  EXPECT_TRUE(backend) << error;
  return backend;
}

/// The open file descriptors of this process. An emulated node open in the
/// code under test is a socket whose other end umockdev's worker thread
/// holds and closes on its own time after the code closes its end: the
/// settled count is taken once it reaches `expected`, or after five seconds.
/// Anonymous inodes are not counted: GLib, behind umockdev, creates the
/// eventfds of its own threads lazily, and the code under test opens none.
inline int OpenFdCount() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(e.path(), error).string();
    if (target.rfind("anon_inode:", 0) != 0) ++n;
  }
  return n;
}

inline int SettledFdCount(int expected) {
  int n = 0;
  for (int i = 0; i < 500; ++i) {
    n = OpenFdCount();
    if (n == expected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return n;
}

}  // namespace tessarin::testing
