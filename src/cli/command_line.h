// The tool's command line: the commands, their options and the help text.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tessarin {

enum class Command {
  kNone,
  kList,
  kInfo,
  kImage,
  kBurn,
  kVerify,
  kDump,
  kMakeImage,
  kStation,
  kRecords,
  kReleaseSerial,
  kImportRecords,
};

struct CommandLine {
  Command m_command = Command::kNone;
  GlobalOptions m_global;
  ListOptions m_list;
  InfoOptions m_info;
  ImageOptions m_image;
  BurnOptions m_burn;
  VerifyOptions m_verify;
  DumpOptions m_dump;
  MakeImageOptions m_makeImage;
  StationOptions m_station;
  RecordsOptions m_records;
  ReleaseSerialOptions m_releaseSerial;
  ImportRecordsOptions m_importRecords;
};

/// Parses the arguments. Returns -1 when a command is to run; otherwise the
/// exit code after printing help (0) or a usage error (2).
int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, std::ostream& out,
                     std::ostream& err);

/// One option or argument as the parser knows it.
struct OptionDoc {
  std::string m_name;   ///< "--device", or an argument's name ("FILE")
  std::string m_short;  ///< "-h", or empty
  /// The value's name ("PATH"; an argument's own name); empty for a flag.
  std::string m_value;
  std::string m_help;
  bool m_positional = false;
};

struct CommandDoc {
  std::string m_name;
  std::string m_help;
  std::vector<OptionDoc> m_options;  ///< its arguments and its own options
  std::string m_footer;              ///< its own text after the options, or empty
};

/// The whole command line as the parser knows it, for the completion scripts
/// and the manual page, so they cannot drift from what the tool accepts.
struct CommandLineDoc {
  std::string m_description;
  std::vector<OptionDoc> m_global;  ///< the options every command takes, --help included
  std::vector<CommandDoc> m_commands;
  std::string m_simulateHelp;
  std::string m_exitCodes;
};

CommandLineDoc DescribeCommandLine();

}  // namespace tessarin
