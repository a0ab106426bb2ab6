#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "image/last_file_memory.h"
#include "image/utf16.h"
#include "platform/file_io.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

using testing::ReadBytes;
using testing::ScratchDir;

TEST(MemoryFile, BytesAreUtf16LittleEndianPlusOneZeroCharacter) {
  const std::u16string path = u"/home/user/firmware/kestrova-8041-v3.rom";
  ASSERT_EQ(path.size(), 40u);
  const std::vector<uint8_t> bytes = EncodeMemoryFile(path);
  ASSERT_EQ(bytes.size(), 82u);
  EXPECT_EQ(bytes[0], '/');
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes[80], 0);
  EXPECT_EQ(bytes[81], 0);
  EXPECT_EQ(EncodeMemoryFile(u"\u00e9\u4e2d"),
            (std::vector<uint8_t>{0xE9, 0x00, 0x2D, 0x4E, 0, 0}));
}

TEST(MemoryFile, DecodeTable) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"as written", {'a', 0, 'b', 0, 0, 0}, u"ab"},
      {"no trailing zero", {'a', 0, 'b', 0}, u"ab"},
      {"odd last byte", {'a', 0, 'b'}, u"ab"},
      {"odd length after text", {'a', 0, 'b', 0, 'c'}, u"abc"},
      {"byte-order mark stays", {0xFF, 0xFE, 'a', 0, 0, 0}, u"\uFEFFa"},
      {"stops at the first zero", {'a', 0, 0, 0, 'b', 0}, u"a"},
      {"empty file", {}, u""},
      {"single byte", {'z'}, u"z"},
      {"surrogate pair", {0x3D, 0xD8, 0x00, 0xDE, 0, 0}, u"\U0001F600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DecodeMemoryFile(c.bytes), c.text);
  }
}

TEST(MemoryFile, PathIsJoinedToTheWholeStartupDirectory) {
  EXPECT_EQ(MemoryFilePath("/srv/tools"),
            std::filesystem::path("/srv/tools/Kestrova Firmware.cfg"));
  const std::filesystem::path deep = "/" + std::string(300, 'd');
  EXPECT_EQ(MemoryFilePath(deep).parent_path(), deep);
  EXPECT_EQ(MemoryFilePath(deep).filename(), "Kestrova Firmware.cfg");
  const std::optional<std::filesystem::path> start = StartupDirectory();
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(*start, std::filesystem::current_path());
}

TEST(MemoryFile, WriteAndReadBackRealFiles) {
  ScratchDir dir;
  const auto config = MemoryFilePath(dir.path());
  const std::filesystem::path paths[] = {
      "/tmp/a.rom",
      "/home/us\xc3\xa9r/\xe4\xb8\xad\xe6\x96\x87/\xf0\x9f\x98\x80.rom",  // UTF-8, astral plane
      "/data/\xff\xfe-latin1-\xe9.rom",                                   // not UTF-8
      "/x/\xed\xa0\x80-encoded-surrogate.rom",                            // not UTF-8 either
      "",
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    std::string err;
    ASSERT_TRUE(SaveLastFile(config, path, &err)) << err;
    EXPECT_EQ(ReadBytes(config), EncodeMemoryFile(PathToUtf16(path)));
    const std::optional<std::filesystem::path> back = LoadLastFile(config, &err);
    ASSERT_TRUE(back.has_value()) << err;
    EXPECT_EQ(back->native(), path.native());
  }
  // Nothing but the memory file is left in the directory.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(MemoryFile, ReadsFilesWrittenByOtherTools) {
  ScratchDir dir;
  const auto config = MemoryFilePath(dir.path());
  dir.Write(config.filename(), std::vector<uint8_t>{'/', 0, 'a', 0, '.', 0, 'r'});
  EXPECT_EQ(ReadMemoryFile(config), u"/a.r");
  dir.Write(config.filename(), std::vector<uint8_t>{0xFF, 0xFE, '/', 0, 'a', 0});
  EXPECT_EQ(ReadMemoryFile(config), u"\uFEFF/a");
  const std::u8string loaded = LoadLastFile(config)->u8string();  // UTF-8 on every system
  EXPECT_EQ(std::string(loaded.begin(), loaded.end()), "\xef\xbb\xbf/a");
}

TEST(MemoryFile, UnpairedSurrogateIsRefusedNotChanged) {
  ScratchDir dir;
  const auto config = MemoryFilePath(dir.path());
  dir.Write(config.filename(), std::vector<uint8_t>{'/', 0, 0x00, 0xD8, 'a', 0, 0, 0});
  std::string err;
  const auto loaded = LoadLastFile(config, &err);
  if (loaded) {
    // Where file names are UTF-16 (Windows) the name is valid: kept exactly.
    EXPECT_EQ(PathToUtf16(*loaded), std::u16string(u"/\xD800"
                                                   u"a"));
  } else {
    EXPECT_NE(err.find("D800"), std::string::npos) << err;
  }
  // The text itself is still there for a caller that wants to show it.
  EXPECT_EQ(ReadMemoryFile(config), std::u16string(u"/\xD800"
                                                   u"a"));
}

TEST(MemoryFile, MissingOrUnusableFilesGiveNoMemory) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "as-folder");
  std::vector<std::filesystem::path> bad = {
      MemoryFilePath(dir.path()),                // not written yet
      MemoryFilePath(dir.path() / "as-folder"),  // missing inside a folder
      dir.path() / "as-folder",                  // a directory
  };
  dir.Write("huge.cfg", std::vector<uint8_t>(kMaxMemoryFileSize + 2, 'a'));
  bad.push_back(dir.path() / "huge.cfg");
  if (CreateFifo(dir.path() / "fifo.cfg", nullptr)) bad.push_back(dir.path() / "fifo.cfg");
  for (const auto& path : bad) {
    SCOPED_TRACE(path.string());
    std::string err;
    EXPECT_FALSE(ReadMemoryFile(path, &err).has_value());
    EXPECT_FALSE(err.empty());
  }
}

TEST(MemoryFile, FailedWriteKeepsThePreviousMemory) {
  ScratchDir dir;
  std::string err;
  // The memory's name is taken by a folder: refused, the folder and its content stay, and no
  // temporary file is left behind.
  const auto blocked = dir.path() / "blocked.cfg";
  std::filesystem::create_directory(blocked);
  dir.Write("blocked.cfg/keep", std::vector<uint8_t>{1});
  EXPECT_FALSE(WriteMemoryFile(blocked, u"/new.rom", &err));
  EXPECT_NE(err.find("directory"), std::string::npos) << err;
  EXPECT_TRUE(std::filesystem::exists(blocked / "keep"));

  // A directory that does not exist.
  EXPECT_FALSE(WriteMemoryFile(dir.path() / "nowhere" / "x.cfg", u"/new.rom", &err));
  EXPECT_NE(err.find("create"), std::string::npos) << err;

  // A zero character would be read back as a shorter path: refused, previous memory kept.
  const auto config = MemoryFilePath(dir.path());
  ASSERT_TRUE(WriteMemoryFile(config, u"/old.rom", &err)) << err;
  EXPECT_FALSE(WriteMemoryFile(config, std::u16string(u"/a\0b", 4), &err));
  EXPECT_EQ(ReadMemoryFile(config), u"/old.rom");

  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 2);  // blocked.cfg and the memory file
}

TEST(MemoryFile, ReadOnlyStartupDirectoryKeepsThePreviousMemory) {
  ScratchDir dir;
  const auto config = MemoryFilePath(dir.path());
  std::string err;
  ASSERT_TRUE(WriteMemoryFile(config, u"/old.rom", &err)) << err;
  std::filesystem::permissions(
      dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (std::ofstream(dir.path() / "probe").is_open()) {
    GTEST_SKIP() << "running with rights that write any directory";
  }
  EXPECT_FALSE(WriteMemoryFile(config, u"/new.rom", &err));
  EXPECT_NE(err.find("ermission"), std::string::npos) << err;
  EXPECT_EQ(ReadMemoryFile(config), u"/old.rom");
}

TEST(Utf16, ConversionTable) {
  struct Case {
    const char* what;
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"ascii", "/a/b.rom", u"/a/b.rom"},
      {"two and three bytes", "\xc3\xa9\xe4\xb8\xad", u"\u00e9\u4e2d"},
      {"four bytes", "\xf0\x9f\x98\x80", u"\U0001F600"},
      {"stray byte", "a\xff", u"a\xDCFF"},
      {"overlong slash", "\xc0\xaf", u"\xDCC0\xDCAF"},
      {"truncated sequence", "\xe4\xb8", u"\xDCE4\xDCB8"},
      {"encoded surrogate", "\xed\xa0\x80", u"\xDCED\xDCA0\xDC80"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);
  }
  for (const std::u16string& lone : {std::u16string(u"\xD800"), std::u16string(u"a\xDC7F"),
                                     std::u16string(u"\xDBFF"
                                                    u"b")}) {
    std::string err;
    EXPECT_FALSE(Utf16ToUtf8(lone, &err).has_value());
    EXPECT_NE(err.find("unpaired surrogate"), std::string::npos);
  }
}

}  // namespace
}  // namespace tessarin
