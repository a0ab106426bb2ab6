// The tool's command line: the commands, their options and the help text.
#pragma once

#include <iosfwd>

#include "cli/cli_options.h"

namespace tessarin {

enum class Command { kNone, kList, kInfo, kImage, kBurn, kVerify, kDump, kMakeImage };

struct CommandLine {
  Command command = Command::kNone;
  GlobalOptions global;
  ListOptions list;
  InfoOptions info;
  ImageOptions image;
  BurnOptions burn;
  VerifyOptions verify;
  DumpOptions dump;
  MakeImageOptions makeImage;
};

/// Parses the arguments. Returns -1 when a command is to run; otherwise the
/// exit code after printing help (0) or a usage error (2).
int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, std::ostream& out,
                     std::ostream& err);


}  // namespace tessarin
