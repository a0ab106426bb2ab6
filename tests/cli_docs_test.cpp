// The completion scripts and manual pages the build writes from the command
// line: checked against what the built tool's --help says, and rendered.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli/command_line_docs.h"
#include "support/cli_run.h"

namespace tessarin::testing {
namespace {

const fs::path kDocs = TESSARIN_DOCS_DIR;

bool Have(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null").c_str()) == 0;
}

class CliDocs : public CliRun {
 protected:
  void SetUp() override {
    CliRun::SetUp();
    if (!IsPosixSystem() || !fs::exists("/bin/bash")) GTEST_SKIP() << "needs /bin/bash";
  }

  /// The commands `--help` lists.
  std::vector<std::string> Commands() {
    const RunResult help = Run({"--help"});
    std::vector<std::string> names;
    bool in = false;
    for (const std::string& line : Lines(help.out)) {
      if (line == "Subcommands:") {
        in = true;
      } else if (in && line.empty()) {
        break;
      } else if (in) {
        names.push_back(line.substr(2, line.find(' ', 2) - 2));
      }
    }
    EXPECT_GE(names.size(), 10u) << help.out;
    return names;
  }

  /// The long options `COMMAND --help` (or the tool's --help) lists.
  std::set<std::string> Options(const std::string& command) {
    std::vector<std::string> args{"--help"};
    if (!command.empty()) args.insert(args.begin(), command);
    const RunResult help = Run(args);
    std::set<std::string> options;
    const std::regex option(R"(^  (?:-\w,)?(--[a-z][a-z0-9-]*))");
    for (const std::string& line : Lines(help.out)) {
      std::smatch match;
      if (std::regex_search(line, match, option)) options.insert(match[1]);
    }
    EXPECT_FALSE(options.empty()) << help.out;
    return options;
  }

  /// What the bash completion offers for the words (the last one is being
  /// typed), one line per question.
  std::vector<std::string> Ask(const std::vector<std::vector<std::string>>& questions) {
    std::string script = "source '" + (kDocs / "tessarin-cli.bash").string() +
                         "'; complete() { :; }; "
                         "ask() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); "
                         "_tessarin_cli; echo \"${COMPREPLY[*]}\"; }; cd '" +
                         m_dir.string() + "'; ";
    for (const auto& words : questions) {
      script += "ask tessarin-cli";
      for (const std::string& word : words) script += " '" + word + "'";
      script += "; ";
    }
    const RunResult run = RunShell(script);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    return Lines(run.out);
  }

  static std::set<std::string> Words(const std::string& line) {
    std::set<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.insert(word);
    return words;
  }
};

TEST_F(CliDocs, BashCompletionOffersEveryCommandAndEveryOptionTheHelpLists) {
  const std::vector<std::string> commands = Commands();
  std::vector<std::vector<std::string>> questions{{""}};
  for (const std::string& command : commands) questions.push_back({command, "--"});
  const std::vector<std::string> lines = Ask(questions);
  ASSERT_EQ(lines.size(), questions.size());

  const std::set<std::string> first = Words(lines[0]);
  for (const std::string& command : commands) EXPECT_EQ(first.count(command), 1u) << command;
  for (const std::string& option : Options("")) EXPECT_EQ(first.count(option), 1u) << option;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    SCOPED_TRACE(commands[i]);
    const std::set<std::string> offered = Words(lines[i + 1]);
    for (const std::string& option : Options(commands[i])) {
      EXPECT_EQ(offered.count(option), 1u) << option << " is not offered: " << lines[i + 1];
    }
  }
}

TEST_F(CliDocs, BashCompletionCompletesValuesByWhatTheyAre) {
  fs::create_directories(m_dir / "backups");
  WriteBytes(m_dir / "fw.rom", {1});
  WriteBytes(m_dir / "notes.txt", {1});
  struct Case {
    std::vector<std::string> words;
    std::string offered;
  };
  const Case cases[] = {
      {{"b"}, "burn"},
      {{"r"}, "records release-serial"},
      {{"--simulate", "d"}, "default dir="},
      {{"burn", "a.rom", "--s"}, "--serial --simulate"},
      {{"--simulate", "default", "dump", "--s"}, "--simulate"},  // dump has no --serial
      {{"burn", ""}, "backups fw.rom"},                          // images and folders
      {{"burn", "fw.rom", "--backup", "n"}, "notes.txt"},        // any file
      {{"station", "fw.rom", "--backup-dir", ""}, "backups"},    // folders only
      {{"make-image", "x.rom", "--version", ""}, ""},            // a version, not a file
      {{"--version"}, "--version"},
      {{"release-serial", "--d"}, "--db"},
  };
  std::vector<std::vector<std::string>> questions;
  for (const Case& c : cases) questions.push_back(c.words);
  const std::vector<std::string> lines = Ask(questions);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(Words(lines[i]), Words(cases[i].offered)) << "after: " << cases[i].words.back();
  }
}

TEST_F(CliDocs, ZshAndFishCompletionsNameEveryCommandAndOption) {
  struct Script {
    const char* file;
    const char* checker;  ///< its syntax check, where the shell is installed
  };
  const Script scripts[] = {{"_tessarin-cli", "zsh -n"}, {"tessarin-cli.fish", "fish -n"}};
  const std::vector<std::string> commands = Commands();
  for (const Script& script : scripts) {
    SCOPED_TRACE(script.file);
    const std::string text = ReadText(kDocs / script.file);
    ASSERT_FALSE(text.empty());
    for (const std::string& command : commands) {
      EXPECT_NE(text.find("'" + command), std::string::npos) << command;
      for (const std::string& option : Options(command)) {
        // fish names an option without its dashes (-l serial).
        const std::string name =
            std::string(script.file).ends_with(".fish") ? "-l " + option.substr(2) : option;
        EXPECT_NE(text.find(name), std::string::npos) << command << " " << option;
      }
    }
    const std::string shell = std::string(script.checker).substr(0, 4);
    if (!Have(shell)) continue;
    const RunResult run =
        RunShell(std::string(script.checker) + " '" + (kDocs / script.file).string() + "'");
    EXPECT_EQ(run.exitCode, 0) << run.err;
  }
}

// The pages are gzipped, render without a warning, and hold every option of
// every command, the tables kept in their columns.
TEST_F(CliDocs, ManualPagesAreGzippedRenderCleanlyAndHoldEveryOption) {
  if (!Have("groff") || !Have("gzip")) GTEST_SKIP() << "needs groff and gzip";
  struct Page {
    const char* file;
    std::vector<std::string> commands;
  };
  const Page pages[] = {{"tessarin-cli.1.gz", Commands()}, {"tessarin.1.gz", {}}};
  for (const Page& page : pages) {
    SCOPED_TRACE(page.file);
    const fs::path path = kDocs / page.file;
    if (!fs::exists(path) && std::string(page.file) == "tessarin.1.gz") continue;  // no window
    const std::vector<std::uint8_t> bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 0x1F);
    EXPECT_EQ(bytes[1], 0x8B);
    const RunResult warnings =
        RunShell("gzip -dc '" + path.string() + "' | groff -man -Tutf8 -ww -z");
    EXPECT_EQ(warnings.exitCode, 0);
    EXPECT_EQ(warnings.err, "");
    const RunResult shown = RunShell("gzip -dc '" + path.string() +
                                     "' | MANWIDTH=80 groff -man -Tascii -P-c -P-b -P-u -rLL=80n");
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("vid=HEX          vendor id, 1 to 4 hex digits (default 0495)"),
              std::string::npos)
        << shown.out;
    for (const std::string& command : page.commands) {
      EXPECT_NE(shown.out.find("tessarin-cli " + command), std::string::npos) << command;
      for (const std::string& option : Options(command)) {
        if (option == "--help") continue;
        EXPECT_NE(shown.out.find(option), std::string::npos) << command << " " << option;
      }
    }
  }
}

// Texts that man(7) would otherwise take for requests or escapes come out
// as they were written.
TEST(ManPage, TextThatLooksLikeRoffComesOutAsWritten) {
  if (!IsPosixSystem() || std::system("command -v groff >/dev/null") != 0) {
    GTEST_SKIP() << "needs groff";
  }
  CommandLineDoc doc;
  doc.m_description = "Described.";
  const std::vector<std::string> texts = {".TH looks like a request", "'also one",
                                          "a back\\slash and \\fBno bold",
                                          "a-path/with-dashes --and-options"};
  for (const std::string& text : texts) {
    CommandDoc command;
    command.m_name = "cmd";
    command.m_help = "Help";
    command.m_options.push_back({"--opt", "", "", text, false});
    doc.m_commands.push_back(command);
  }
  const fs::path file =
      fs::temp_directory_path() / ("tessarin-man-" + std::to_string(CurrentProcessId()) + ".1");
  {
    std::ofstream out(file);
    out << ManPage(doc, "1.0", "2026-01-01");
  }
  std::string error;
  const fs::path shown = file.string() + ".txt";
  const fs::path errors = file.string() + ".err";
  const int status = RunProgram(
      "/bin/sh", {"-c", "groff -man -Tascii -P-c -P-b -P-u -rLL=200n '" + file.string() + "'"},
      shown, errors, &error);
  ASSERT_EQ(status, 0) << error << ReadText(errors);
  const std::string text = ReadText(shown);
  for (const std::string& written : texts) {
    EXPECT_NE(text.find(written), std::string::npos) << written << "\n" << text;
  }
  fs::remove(file);
  fs::remove(shown);
  fs::remove(errors);
}

}  // namespace
}  // namespace tessarin::testing
