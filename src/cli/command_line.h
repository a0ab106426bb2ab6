// The tool's command line: the commands, their options and the help text.
#pragma once

#include <iosfwd>

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
};

/// Parses the arguments. Returns -1 when a command is to run; otherwise the
/// exit code after printing help (0) or a usage error (2).
int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, std::ostream& out,
                     std::ostream& err);


}  // namespace tessarin
