// The platform's whole-file read on this system: what it refuses, how it ends
// when a read fails or the file grows, and the file time it reports.
#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/hooked_files.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

using testing::ScratchDir;
using namespace std::chrono;

constexpr uint64_t kLimit = 32768;

std::vector<uint8_t> Bytes(std::size_t size) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

// Everything that is not a readable regular file counts as "cannot be opened", and never blocks.
TEST(WholeFileRead, BadPathsCannotBeOpened) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "folder.rom");
  struct Case {
    const char* what;
    std::filesystem::path path;
  };
  std::vector<Case> cases = {
      {"missing", dir.path() / "missing.rom"},  {"empty path", ""},
      {"directory", dir.path() / "folder.rom"}, {"below a file", dir.path() / "plain.rom" / "x"},
      {"character device", "/dev/null"},
  };
  dir.Write("plain.rom", Bytes(32));
  std::string fifoError;
  if (CreateFifo(dir.path() / "fifo.rom", &fifoError)) {
    cases.push_back({"fifo without writer", dir.path() / "fifo.rom"});
  }
  // Windows lets only privileged users make links (and Wine none at all).
  std::error_code linkError;
  std::filesystem::create_symlink(dir.path() / "loop-b", dir.path() / "loop-a", linkError);
  if (!linkError) {
    std::filesystem::create_symlink(dir.path() / "loop-a", dir.path() / "loop-b", linkError);
    cases.push_back({"symlink loop", dir.path() / "loop-a"});
  }
  for (const Case& c : cases) {
    if (c.path.is_absolute() && c.path.string().starts_with("/dev/") &&
        !std::filesystem::exists(c.path)) {
      continue;
    }
    SCOPED_TRACE(c.what);
    const WholeFile r = ReadWholeFile(c.path, kLimit);
    EXPECT_EQ(r.m_failure, FileReadFailure::kCannotOpen);
    EXPECT_EQ(r.m_error.rfind("open ", 0), 0u) << r.m_error;
    EXPECT_TRUE(r.m_bytes.empty());
  }
}

// A new file is made or nothing is touched: a name that is taken keeps what it holds.
TEST(WriteNewFile, CreatesOnlyWhatIsNotThereAndNeverWritesThroughALink) {
  ScratchDir dir;
  dir.Write("taken.bin", Bytes(8));
  std::filesystem::create_directory(dir.path() / "folder");
  std::error_code linkError;
  std::filesystem::create_symlink(dir.path() / "target.bin", dir.path() / "dangling", linkError);
  struct Case {
    const char* what;
    std::filesystem::path path;
    bool ok;
    bool exists;
  };
  std::vector<Case> cases = {
      {"a free name", dir.path() / "new.bin", true, false},
      {"a file", dir.path() / "taken.bin", false, true},
      {"a directory", dir.path() / "folder", false, true},
      {"in a missing folder", dir.path() / "missing" / "x.bin", false, false},
  };
  if (!linkError) cases.push_back({"a dangling link", dir.path() / "dangling", false, true});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool exists = !c.exists;
    std::string error;
    EXPECT_EQ(WriteNewFile(c.path, Bytes(16), &exists, &error), c.ok) << error;
    EXPECT_EQ(exists, c.exists);
    if (c.ok) {
      EXPECT_EQ(ReadWholeFile(c.path, kLimit).m_bytes, Bytes(16));
    } else {
      EXPECT_EQ(error.rfind("create ", 0), 0u) << error;
    }
  }
  EXPECT_EQ(ReadWholeFile(dir.path() / "taken.bin", kLimit).m_bytes, Bytes(8));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "target.bin"));
}

TEST(WholeFileRead, UnreadableFileCannotBeOpened) {
  ScratchDir dir;
  const auto file = dir.Write("locked.rom", Bytes(64));
  std::filesystem::permissions(file, std::filesystem::perms::none);
  if (std::ifstream(file).is_open()) GTEST_SKIP() << "running with rights that read any file";
  const WholeFile r = ReadWholeFile(file, kLimit);
  EXPECT_EQ(r.m_failure, FileReadFailure::kCannotOpen);
  EXPECT_NE(r.m_error.find("ermission"), std::string::npos) << r.m_error;
}

// The limit is checked at the open, before anything is read: the length and
// the time are reported for a refused file too.
TEST(WholeFileRead, TheLimitIsInclusiveAndARefusalKeepsTheLengthAndTime) {
  ScratchDir dir;
  struct Case {
    std::size_t size;
    FileReadFailure failure;
  };
  for (const Case c :
       {Case{0, FileReadFailure::kNone}, Case{kLimit - 1, FileReadFailure::kNone},
        Case{kLimit, FileReadFailure::kNone}, Case{kLimit + 1, FileReadFailure::kTooLarge}}) {
    SCOPED_TRACE(c.size);
    const std::vector<uint8_t> bytes = Bytes(c.size);
    const WholeFile r = ReadWholeFile(dir.Write("f.rom", bytes), kLimit);
    EXPECT_EQ(r.m_failure, c.failure);
    EXPECT_EQ(r.m_fileSize, c.size);
    EXPECT_TRUE(r.m_lastWriteTicks.has_value());
    EXPECT_FALSE(r.m_grew);
    EXPECT_TRUE(r.m_error.empty()) << r.m_error;
    if (c.failure == FileReadFailure::kNone) {
      EXPECT_EQ(r.m_bytes, bytes);
    } else {
      EXPECT_TRUE(r.m_bytes.empty());
    }
  }
}

TEST(WholeFileRead, ReadErrorAfterOpenKeepsNothing) {
  // A regular file whose read fails with an I/O error after a successful open.
  const std::filesystem::path mem = "/proc/self/mem";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(mem, ec)) GTEST_SKIP() << "no " << mem;
  const WholeFile r = ReadWholeFile(mem, kLimit);
  EXPECT_EQ(r.m_failure, FileReadFailure::kReadError);
  EXPECT_TRUE(r.m_bytes.empty());
  EXPECT_FALSE(r.m_error.empty());
}

TEST(WholeFileRead, FileThatGrowsPastTheLimitWhileReadIsRefused) {
  ScratchDir dir;
  const auto file = dir.Write("growing.rom", Bytes(32000));
  // Windows opens the file shared with nobody: there the append fails, and
  // the file is read as it was.
  bool grew = false;
  testing::HookedFiles growing;
  growing.m_beforeRead = [&] {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    const std::vector<char> more(1000, 'x');
    out.write(more.data(), static_cast<std::streamsize>(more.size()));
    out.close();
    grew = out.good();
  };
  const WholeFile r = ReadWholeFile(file, kLimit, growing);
  if (!grew) {
    EXPECT_EQ(r.m_failure, FileReadFailure::kNone);
    EXPECT_EQ(r.m_bytes.size(), 32000u);
    return;
  }
  EXPECT_EQ(r.m_failure, FileReadFailure::kTooLarge);
  EXPECT_TRUE(r.m_grew);
  EXPECT_GT(r.m_fileSize, kLimit);
  EXPECT_TRUE(r.m_bytes.empty());

  // Growth that stays within the limit is read whole.
  const auto small = dir.Write("small.rom", Bytes(100));
  testing::HookedFiles byOne;
  byOne.m_beforeRead = [&] {
    std::ofstream out(small, std::ios::binary | std::ios::app);
    out.put('y');
  };
  const WholeFile r2 = ReadWholeFile(small, kLimit, byOne);
  ASSERT_EQ(r2.m_failure, FileReadFailure::kNone);
  EXPECT_EQ(r2.m_bytes.size(), 101u);
  EXPECT_EQ(r2.m_bytes.back(), 'y');
}

// A serial list may be up to 64 MB: a list of a few lines must not take 64 MB to read.
TEST(WholeFileRead, MemoryFollowsTheFileNotTheLimit) {
  ScratchDir dir;
  constexpr uint64_t kLarge = 64ull * 1024 * 1024;
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{5000}}) {
    const auto file = dir.Write("list-" + std::to_string(size) + ".txt", Bytes(size));
    testing::HookedFiles files;
    const WholeFile r = ReadWholeFile(file, kLarge, files);
    ASSERT_EQ(r.m_failure, FileReadFailure::kNone) << size;
    EXPECT_EQ(r.m_bytes, Bytes(size));
    EXPECT_LE(files.m_largestRead, size + 1) << size;
  }
}

TEST(WholeFileRead, LastWriteTimeIsTicksSince1601Utc) {
  ScratchDir dir;
  const auto file = dir.Write("image.rom", Bytes(64));
  const sys_seconds when = sys_days{2021y / March / 5} + 13h + 7min + 9s;
  std::filesystem::last_write_time(file, file_clock::from_sys(when));
  const WholeFile r = ReadWholeFile(file, kLimit);
  ASSERT_EQ(r.m_failure, FileReadFailure::kNone);
  ASSERT_TRUE(r.m_lastWriteTicks.has_value());
  // 369 years of 100 ns ticks lie between 1601-01-01 and 1970-01-01.
  constexpr uint64_t kTicksAt1970 = 116444736000000000ULL;
  EXPECT_EQ(*r.m_lastWriteTicks,
            static_cast<uint64_t>(when.time_since_epoch().count()) * 10000000ULL + kTicksAt1970);
}

// Where the station's store goes without --db: the user's own folder on
// Windows, so that every console finds one store; the current folder on Linux.
TEST(DefaultDataFolder, IsTheUsersLocalDataFolderOnWindowsAndNoneOnLinux) {
  const std::filesystem::path folder = DefaultDataFolder();
  if (IsPosixSystem()) {
    EXPECT_TRUE(folder.empty()) << folder;
    return;
  }
  EXPECT_TRUE(folder.is_absolute()) << folder;
  EXPECT_EQ(folder.filename(), "Tessarin");
  EXPECT_TRUE(std::filesystem::is_directory(folder.parent_path())) << folder;
}

}  // namespace
}  // namespace tessarin
