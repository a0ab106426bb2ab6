// The exclusive lock on a file that device claims are made of.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_io.h"
#include "support/image_test_dir.h"

namespace tessarin {
namespace {

using testing::ScratchDir;

TEST(FileLock, OneHolderAtATimeUntilTheLockGoes) {
  ScratchDir dir;
  const std::filesystem::path file = dir.path() / "device.lock";
  bool busy = true;
  std::string err;
  std::optional<FileLock> held = FileLock::TryLock(file, &busy, &err);
  ASSERT_TRUE(held) << err;
  EXPECT_FALSE(busy);
  EXPECT_TRUE(std::filesystem::exists(file)) << "a missing lock file is created";

  // A second holder, even in this process, finds it busy without waiting.
  EXPECT_FALSE(FileLock::TryLock(file, &busy, &err));
  EXPECT_TRUE(busy);

  // Moved, the lock is still held; gone, it is free again.
  std::optional<FileLock> moved(std::move(held));
  held.reset();
  EXPECT_FALSE(FileLock::TryLock(file, &busy, &err));
  EXPECT_TRUE(busy);
  moved.reset();
  std::optional<FileLock> again = FileLock::TryLock(file, &busy, &err);
  EXPECT_TRUE(again) << err;
  EXPECT_FALSE(busy);

  // Assigning over a held lock releases the one it held.
  const std::filesystem::path other = dir.path() / "other.lock";
  std::optional<FileLock> second = FileLock::TryLock(other, &busy, &err);
  ASSERT_TRUE(second) << err;
  *again = std::move(*second);
  EXPECT_TRUE(FileLock::TryLock(file, &busy, &err))
      << "the first file's lock went with the assignment";
  EXPECT_FALSE(FileLock::TryLock(other, &busy, &err));
  EXPECT_TRUE(busy);
}

TEST(FileLock, AFileThatCannotBeMadeIsNotBusy) {
  ScratchDir dir;
  bool busy = true;
  std::string err;
  EXPECT_FALSE(FileLock::TryLock(dir.path() / "missing" / "device.lock", &busy, &err));
  EXPECT_FALSE(busy);
  EXPECT_EQ(err.rfind("lock ", 0), 0u) << err;
  EXPECT_NE(err.find("missing"), std::string::npos) << err;
}

}  // namespace
}  // namespace tessarin
