// End-to-end runs of tessarin-cli where an output, an input or a signal could
// hurt the user's files or devices, and the conventions a user expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/cli_run.h"

namespace tessarin::testing {
namespace {

// Nothing was written to the simulated device: its kept EEPROM, made when the
// device is, is still erased.
bool StillBlank(const fs::path& eeprom) {
  const std::vector<std::uint8_t> bytes = ReadBytes(eeprom);
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

bool HasDevFull() { return IsPosixSystem() && fs::exists("/dev/full"); }

TEST_F(CliRun, OutputsThatCannotBeWrittenAreFailuresNeverSuccess) {
  if (!HasDevFull()) GTEST_SKIP() << "needs /dev/full";
  const fs::path image = MakeImage("a.rom", {"--size", "1024"});
  struct Case {
    const char* what;
    std::vector<std::string> args;
    fs::path stdoutFile;
    int exitCode;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"dump into a full device",
       {"--simulate", Spec(), "dump", "/dev/full"},
       {},
       2,
       "write /dev/full: No space left on device"},
      {"backup into a full device",
       {"--simulate", Spec(), "burn", image.string(), "--backup", "/dev/full"},
       {},
       2,
       "nothing was burned"},
      {"dump to a standard output that is full",
       {"--simulate", Spec(), "dump", "/dev/stdout"},
       "/dev/full",
       2,
       "No space left on device"},
      {"listing into a full standard output",
       {"--simulate", Spec(), "list"},
       "/dev/full",
       2,
       "writing the standard output failed"},
      {"trace into a full device",
       {"--simulate", Spec(), "--trace", "/dev/full", "info"},
       {},
       2,
       "--trace: writing /dev/full failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult run = Run(c.args, c.stdoutFile);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  // The failed backup burned nothing.
  EXPECT_TRUE(StillBlank(Eeprom()));
}

TEST_F(CliRun, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsTouched) {
  const fs::path image = MakeImage("a.rom", {"--size", "1024"});
  const std::vector<std::uint8_t> before = ReadBytes(image);
  // Through a link where the system has them for everyone (not under Wine).
  std::string link = image.string();
  if (IsPosixSystem()) {
    fs::create_symlink(image, m_dir / "link.rom");
    link = (m_dir / "link.rom").string();
  }
  const std::vector<std::vector<std::string>> lines = {
      {"--simulate", Spec(), "burn", image.string(), "--backup", image.string()},
      {"--simulate", Spec(), "burn", image.string(), "--backup", link},
      {"--simulate", Spec(), "--trace", link, "burn", image.string()},
      {"--simulate", Spec(), "--trace", link, "verify", image.string()},
      {"--simulate", Spec(), "dump", Eeprom().string()},
      {"--simulate", "image=" + image.string(), "dump", link},
      {"--simulate", Spec(), "--trace", (m_dir / "x.bin").string(), "dump",
       (m_dir / "x.bin").string()},
  };
  // The station and the export take no trace at all: refused before they open anything.
  const std::vector<std::vector<std::string>> untraced = {
      {"--simulate", Spec(), "--trace", link, "station", image.string(), "--once", "--db",
       (m_dir / "station.db").string()},
      {"--trace", (m_dir / "s.db").string(), "records", "--db", (m_dir / "s.db").string()},
  };
  // The EEPROM file exists once a device was burned.
  ASSERT_EQ(Run({"--simulate", Spec(), "burn", image.string()}).exitCode, 0);
  const std::vector<std::uint8_t> eeprom = ReadBytes(Eeprom());
  for (const auto& args : lines) {
    SCOPED_TRACE(args[args.size() - 1]);
    const RunResult run = Run(args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("is the same file as"), std::string::npos) << run.err;
  }
  for (const auto& args : untraced) {
    SCOPED_TRACE(args[args.size() - 1]);
    const RunResult run = Run(args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find("takes no --trace"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(m_dir / "station.db"));
  EXPECT_EQ(ReadBytes(image), before);
  EXPECT_EQ(ReadBytes(Eeprom()), eeprom);
  EXPECT_FALSE(fs::exists(m_dir / "x.bin"));
  EXPECT_FALSE(fs::exists(m_dir / "s.db"));
}

TEST_F(CliRun, OutputsFollowLinksKeepTheModeAndWriteIntoNodesTheyDoNotReplace) {
  if (!IsPosixSystem() || !fs::is_character_file("/dev/null")) {
    GTEST_SKIP() << "needs /dev/null";
  }
  // Through a link to a device node: written into, the link and the node stay.
  fs::create_symlink("/dev/null", m_dir / "mynull");
  EXPECT_EQ(Run({"--simulate", Spec(), "dump", (m_dir / "mynull").string()}).exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(m_dir / "mynull"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  // Through a link to a private file: the file is replaced, the link stays, the mode is kept.
  const fs::path target = m_dir / "private.bin";
  WriteBytes(target, {1, 2, 3});
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(target, m_dir / "out.bin");
  EXPECT_EQ(Run({"--simulate", Spec(), "dump", (m_dir / "out.bin").string()}).exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(m_dir / "out.bin"));
  EXPECT_EQ(ReadBytes(target).size(), 32768u);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // A name near the file-system limit still works, and nothing temporary is left behind.
  const fs::path longName = m_dir / (std::string(250, 'n') + ".bin");
  EXPECT_EQ(Run({"--simulate", Spec(), "dump", longName.string()}).exitCode, 0);
  for (const auto& entry : fs::directory_iterator(m_dir)) {
    EXPECT_EQ(entry.path().filename().string().find(".tessarin-"), std::string::npos);
  }
  // A directory is refused with its own name in the message.
  const RunResult toDir = Run({"--simulate", Spec(), "dump", m_dir.string()});
  EXPECT_EQ(toDir.exitCode, 2);
  EXPECT_NE(toDir.err.find(m_dir.string() + ": it is a directory"), std::string::npos) << toDir.err;
}

TEST_F(CliRun, CommandLineConventions) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    const char* inOutput;  ///< in stdout + stderr
    const char* notInOutput;
  };
  const std::vector<Case> cases = {
      {"version", {"--version"}, 0, "tessarin-cli " TESSARIN_VERSION, nullptr},
      {"help names the version flag", {"--help"}, 0, "--version", nullptr},
      {"the SPEC syntax once, on the top-level help", {"--help"}, 0, "Device keys", nullptr},
      {"a command's help points to it",
       {"burn", "--help"},
       0,
       "`tessarin-cli --help`",
       "Device keys"},
      {"unknown command", {"flash", "a.rom"}, 2, "unknown command \"flash\"", nullptr},
      {"unknown command lists the commands", {"flash"}, 2, "list, info, image, burn", nullptr},
      {"an empty SPEC is no SPEC", {"--simulate", "", "list"}, 2, "--simulate: empty", nullptr},
      {"dir= alone names the missing device item",
       {"--simulate", "dir=" + m_dir.string(), "list"},
       3,
       "no device item",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult run = Run(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string all = run.out + run.err;
    EXPECT_NE(all.find(c.inOutput), std::string::npos) << all;
    if (c.notInOutput) {
      EXPECT_EQ(all.find(c.notInOutput), std::string::npos) << all;
    }
  }
}

TEST_F(CliRun, ResultsThatCouldMisleadSayWhatTheyMean) {
  const fs::path image = MakeImage("a.rom", {"--size", "1024"});
  const fs::path empty = m_dir / "empty.rom";
  WriteBytes(empty, {});
  std::string emoji;
  for (int i = 0; i < 16; ++i) emoji += "\xF0\x9F\x98\x80";  // U+1F600, two code units each
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    const char* message;  ///< in stdout + stderr
  };
  std::vector<Case> cases = {
      {"verify of an empty image",
       {"--simulate", Spec(), "verify", empty.string()},
       2,
       "is empty: there is nothing to compare"},
      {"image of an empty image",
       {"--simulate", Spec(), "image", empty.string()},
       2,
       "cannot be burned: the image is empty"},
      {"info of a blank device", {"--simulate", Spec(), "info"}, 0, "Image:    none committed"},
      {"a serial with a control character",
       {"--simulate", Spec(), "burn", image.string(), "--serial", "AB\tC"},
       2,
       "control character"},
      {"16 emoji are 32 code units",
       {"--simulate", Spec(), "burn", image.string(), "--serial", emoji},
       2,
       "at most 31 UTF-16 code units fit the serial-number descriptor; this one has 32"},
  };
  // Windows passes arguments as UTF-16: a byte that is not UTF-8 cannot reach the tool there.
  if (IsPosixSystem()) {
    cases.push_back({"a serial that is not UTF-8",
                     {"--simulate", Spec(), "burn", image.string(), "--serial", "AB\xFF"},
                     2,
                     "not valid UTF-8"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult run = Run(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
  }
  EXPECT_TRUE(StillBlank(Eeprom())) << "nothing refused reached the device";

  // JSON says whether an image is committed, before and after a burn.
  const RunResult blank = Run({"--simulate", Spec(), "--json", "info"});
  ASSERT_EQ(Lines(blank.out).size(), 2u) << blank.out;  // the info, then the warning
  EXPECT_EQ(nlohmann::json::parse(Lines(blank.out)[0])["committed"], false);
  EXPECT_EQ(nlohmann::json::parse(Lines(blank.out)[1])["event"], "warning");
  ASSERT_EQ(Run({"--simulate", Spec(), "burn", image.string()}).exitCode, 0);
  EXPECT_EQ(nlohmann::json::parse(Run({"--simulate", Spec(), "--json", "info"}).out)["committed"],
            true);
}

/// Shell words that wait (up to 20 s) until the burn writing its lines to
/// `out` has begun: a fixed sleep is too short for a slow or instrumented build.
std::string WaitForBurnIn(const std::string& out) {
  return "for i in $(seq 800); do grep -q Downloading '" + out +
         "' 2>/dev/null && break; sleep 0.025; done; ";
}

TEST_F(CliRun, ASecondProgramOnABusyDeviceIsRefusedAtOnce) {
  if (!IsPosixSystem() || !fs::exists("/bin/bash")) GTEST_SKIP() << "needs /bin/bash";
  const fs::path first = MakeImage("first.rom", {"--version", "1.1"});
  const fs::path second = MakeImage("second.rom", {"--version", "2.2"});
  const std::string cli = TESSARIN_CLI_PATH;
  const std::string spec = Spec("latency=1ms");
  // The first burn holds the device for about two seconds; the second and a
  // dump come while it runs.
  const std::string out = (m_dir / "first.out").string();
  const std::string script = "'" + cli + "' --simulate '" + spec + "' burn '" + first.string() +
                             "' > '" + out + "' & " + WaitForBurnIn(out) + "'" + cli +
                             "' --simulate '" + spec + "' burn '" + second.string() +
                             "'; echo second=$?; '" + cli + "' --simulate '" + spec + "' dump '" +
                             (m_dir / "d.bin").string() + "'; echo dump=$?; wait $!; echo first=$?";
  const RunResult run = RunShell(script);
  EXPECT_NE(run.out.find("second=3"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("dump=3"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("first=0"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.err.find("device busy"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(m_dir / "d.bin"));
  const RunResult info = Run({"--simulate", Spec(), "info"});
  EXPECT_NE(info.out.find("Version:  1.1"), std::string::npos) << "the device holds the first";
}

// A shell runs the tool in the background and signals it, or closes its pipe.
TEST_F(CliRun, StopSignalsAndAClosedPipeEndABurnCleanly) {
  if (!IsPosixSystem() || !fs::exists("/bin/bash")) GTEST_SKIP() << "needs /bin/bash";
  const fs::path image = MakeImage("a.rom");
  const std::string cli = TESSARIN_CLI_PATH;
  const std::string spec = Spec("latency=1ms");  // a burn of about two seconds
  for (const char* signal : {"TERM", "HUP", "INT"}) {
    SCOPED_TRACE(signal);
    fs::remove(Eeprom());
    // The signal comes once the burn has begun, however slow the build.
    const std::string out = (m_dir / "burn.out").string();
    const std::string script = "'" + cli + "' --simulate '" + spec + "' burn '" + image.string() +
                               "' > '" + out + "' & " + WaitForBurnIn(out) + "kill -" + signal +
                               " $!; wait $!";
    const RunResult run = RunShell(script);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("stopped before its commit"), std::string::npos) << run.err;
    ASSERT_TRUE(fs::exists(Eeprom()));
    EXPECT_EQ(ReadBytes(Eeprom())[0], 0xFF) << "a stopped burn leaves no valid commit byte";
  }
  // The output goes away after its first line: the burn still ends whole.
  fs::remove(Eeprom());
  const std::string script = "'" + cli + "' --simulate '" + spec + "' burn '" + image.string() +
                             "' | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}";
  const RunResult run = RunShell(script);
  EXPECT_EQ(run.exitCode, 2) << run.err;
  EXPECT_NE(run.err.find("the command itself ended with exit code 0"), std::string::npos)
      << run.err;
  // Burned whole: everything but the cleared serial descriptor is the image's.
  std::vector<std::uint8_t> burned = ReadBytes(image);
  burned[0x7FC0] = burned[0x7FC1] = 0xFF;
  EXPECT_EQ(ReadBytes(Eeprom()), burned);
}

}  // namespace
}  // namespace tessarin::testing
