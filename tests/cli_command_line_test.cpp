// The tool's command line parsed in process: each command with its options,
// the usage errors and their exit code, and the help and version texts.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_codes.h"

namespace tessarin {
namespace {

struct Parsed {
  int result = 0;
  CommandLine line;
  std::string out;
  std::string err;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "tessarin-cli");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Parsed parsed;
  std::ostringstream out;
  std::ostringstream err;
  parsed.result =
      ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed.line, out, err);
  parsed.out = out.str();
  parsed.err = err.str();
  return parsed;
}

TEST(ParseCommandLine, EachCommandWithItsOptions) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    std::function<void(const CommandLine&)> check;
  };
  const Case cases[] = {
      {{"list"}, Command::kList, [](const CommandLine& l) { EXPECT_FALSE(l.m_list.m_all); }},
      {{"list", "--all"},
       Command::kList,
       [](const CommandLine& l) {
         EXPECT_TRUE(l.m_list.m_all);
         EXPECT_FALSE(l.m_global.m_json);
         EXPECT_FALSE(l.m_global.m_simulate.has_value());
         EXPECT_EQ(l.m_global.m_trace, "");
       }},
      // Global options before the command, and after it.
      {{"--json", "--simulate", "units=2", "--trace", "t.txt", "info", "--device", "sim:1"},
       Command::kInfo,
       [](const CommandLine& l) {
         EXPECT_TRUE(l.m_global.m_json);
         EXPECT_EQ(l.m_global.m_simulate, "units=2");
         EXPECT_EQ(l.m_global.m_trace, "t.txt");
         EXPECT_EQ(l.m_info.m_device, "sim:1");
       }},
      {{"info", "--json", "--simulate", "default"},
       Command::kInfo,
       [](const CommandLine& l) {
         EXPECT_TRUE(l.m_global.m_json);
         EXPECT_EQ(l.m_global.m_simulate, "default");
         EXPECT_EQ(l.m_info.m_device, "");
       }},
      // A global option's value that is a command's name is the value.
      {{"--trace", "list", "image", "fw.rom"},
       Command::kImage,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_global.m_trace, "list");
         EXPECT_EQ(l.m_image.m_file, "fw.rom");
       }},
      {{"burn", "fw.rom"},
       Command::kBurn,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_burn.m_file, "fw.rom");
         EXPECT_FALSE(l.m_burn.m_serial.has_value());
         EXPECT_EQ(l.m_burn.m_backup, "");
         EXPECT_FALSE(l.m_burn.m_force);
         EXPECT_FALSE(l.m_burn.m_changedOnly);
       }},
      {{"burn", "fw.rom", "--device", "d", "--serial", "SN 1", "--backup", "b.bin", "--force",
        "--changed-only"},
       Command::kBurn,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_burn.m_device, "d");
         EXPECT_EQ(l.m_burn.m_serial, "SN 1");
         EXPECT_EQ(l.m_burn.m_backup, "b.bin");
         EXPECT_TRUE(l.m_burn.m_force);
         EXPECT_TRUE(l.m_burn.m_changedOnly);
       }},
      // An empty serial is given (it clears the descriptor), not absent.
      {{"burn", "fw.rom", "--serial", ""},
       Command::kBurn,
       [](const CommandLine& l) { EXPECT_EQ(l.m_burn.m_serial, ""); }},
      {{"verify", "fw.rom", "--device", "d"},
       Command::kVerify,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_verify.m_file, "fw.rom");
         EXPECT_EQ(l.m_verify.m_device, "d");
       }},
      {{"dump", "out.bin"},
       Command::kDump,
       [](const CommandLine& l) { EXPECT_EQ(l.m_dump.m_file, "out.bin"); }},
      {{"make-image", "o.rom"},
       Command::kMakeImage,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_makeImage.m_out, "o.rom");
         EXPECT_EQ(l.m_makeImage.m_size, 32768);
         EXPECT_EQ(l.m_makeImage.m_version, "1.0");
         EXPECT_EQ(l.m_makeImage.m_cur, 1);
         EXPECT_EQ(l.m_makeImage.m_vid, "");
       }},
      {{"make-image", "o.rom", "--size", "100", "--version", "2.5", "--cur", "7", "--vid", "0495",
        "--pid", "8041"},
       Command::kMakeImage,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_makeImage.m_size, 100);
         EXPECT_EQ(l.m_makeImage.m_version, "2.5");
         EXPECT_EQ(l.m_makeImage.m_cur, 7);
         EXPECT_EQ(l.m_makeImage.m_vid, "0495");
         EXPECT_EQ(l.m_makeImage.m_pid, "8041");
       }},
      {{"station", "fw.rom", "--once", "--serial-format", "KS-{:06}", "--serial-start", "5"},
       Command::kStation,
       [](const CommandLine& l) {
         EXPECT_EQ(l.m_station.m_file, "fw.rom");
         EXPECT_TRUE(l.m_station.m_once);
         EXPECT_EQ(l.m_station.m_serialFormat, "KS-{:06}");
         EXPECT_EQ(l.m_station.m_serialStart, "5");
         EXPECT_EQ(l.m_station.m_db, DefaultStationDb());
       }},
      {{"records", "--csv", "--db", "s.db"},
       Command::kRecords,
       [](const CommandLine& l) {
         EXPECT_TRUE(l.m_records.m_csv);
         EXPECT_EQ(l.m_records.m_db, "s.db");
       }},
      {{"release-serial", "KS-000001"},
       Command::kReleaseSerial,
       [](const CommandLine& l) { EXPECT_EQ(l.m_releaseSerial.m_serial, "KS-000001"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Parsed p = Parse(c.args);
    ASSERT_EQ(p.result, -1) << p.err;
    EXPECT_EQ(p.line.m_command, c.command);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
    c.check(p.line);
  }
}

TEST(ParseCommandLine, UsageErrorsExitWithTwoAndSaySo) {
  struct Case {
    std::vector<std::string> args;
    const char* inError;  ///< a part of what goes to the error stream
  };
  const Case cases[] = {
      {{}, "subcommand"},
      {{"--json"}, "subcommand"},
      {{"frobnicate", "fw.rom"},
       "tessarin-cli: unknown command \"frobnicate\"; the commands are list, info, image, burn, "
       "verify, dump, make-image, station, records, release-serial, import-records "
       "(`tessarin-cli --help` describes them)"},
      {{"--simulate", "default", "flash"}, "unknown command \"flash\""},
      {{"burn"}, "FILE"},
      {{"image"}, "FILE"},
      {{"list", "--bogus"}, "--bogus"},
      {{"info", "--device"}, "--device"},
      {{"make-image", "o.rom", "--vid", "0495"}, "--pid"},
      {{"make-image", "o.rom", "--size", "many"}, "--size"},
      {{"station", "fw.rom", "--serial-start", "3"}, "--serial-format"},
      {{"station", "fw.rom", "--serial-format", "A{}", "--serial-list", "l.txt"}, "excludes"},
      {{"station", "fw.rom", "--max-units", "0"}, "--max-units"},
      {{"list", "info"}, ""},
      // --trace records the frames of one device's commands; elsewhere it means nothing.
      {{"--trace", "t.txt", "records"}, "`records` takes no --trace; it goes with list, info"},
      {{"--trace", "t.txt", "station", "fw.rom"}, "`station` takes no --trace"},
      {{"--trace", "t.txt", "release-serial", "S1"}, "`release-serial` takes no --trace"},
      {{"--trace", "t.txt", "make-image", "o.rom"}, "`make-image` takes no --trace"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, EXIT_BAD_INPUT);
    EXPECT_FALSE(p.err.empty());
    EXPECT_NE(p.err.find(c.inError), std::string::npos) << p.err;
    EXPECT_EQ(p.out, "");
  }
}

TEST(ParseCommandLine, HelpAndVersionExitWithZero) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> inOutput;
  };
  const char kPointer[] = "--simulate SPEC, --trace FILE and --json go with this command";
  const Case cases[] = {
      {{"--version"}, {std::string("tessarin-cli ") + TESSARIN_VERSION + "\n"}},
      {{"--help"}, {"Usage:", "burn", "release-serial", "Exit codes:", "3  no device"}},
      {{"burn", "--help"}, {"--serial", "--changed-only", kPointer}},
      // A command's own footer stays, with the pointer after it.
      {{"station", "--help"},
       {"Serial numbers:", "Try it on simulated devices:",
        "--simulate SPEC and --json go with this command (--trace does not"}},
      {{"records", "--help"}, {"one line per unit", "--json goes with this command; "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, EXIT_OK);
    EXPECT_EQ(p.line.m_command, Command::kNone);
    EXPECT_EQ(p.err, "");
    for (const std::string& text : c.inOutput) {
      EXPECT_NE(p.out.find(text), std::string::npos) << text << " in\n" << p.out;
    }
  }
  // Only the tool's own help holds the exit codes; a command's points to it.
  EXPECT_EQ(Parse({"burn", "--help"}).out.find("Exit codes:"), std::string::npos);
}

}  // namespace
}  // namespace tessarin
