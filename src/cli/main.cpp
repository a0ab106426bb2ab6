// tessarin-cli: the burner's core for scripts, production lines and machines
// without a display.
#include <iostream>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace tessarin {
namespace {

int Run(const CommandLine& line, Console& console) {
  switch (line.command) {
    case Command::kList:
      return RunList(line.global, line.list, console);
    case Command::kInfo:
      return RunInfo(line.global, line.info, console);
    case Command::kImage:
      return RunImage(line.global, line.image, console);
    case Command::kBurn:
      return RunBurn(line.global, line.burn, console);
    case Command::kVerify:
      return RunVerify(line.global, line.verify, console);
    case Command::kDump:
      return RunDump(line.global, line.dump, console);
    case Command::kMakeImage:
      return RunMakeImage(line.global, line.makeImage, console);
    case Command::kNone:
      break;
  }
  return console.Fail(EXIT_BAD_INPUT, "no command given: run `tessarin-cli --help`");
}

}  // namespace
}  // namespace tessarin

int main(int argc, char** argv) {
  tessarin::CommandLine line;
  int parsed = tessarin::ParseCommandLine(argc, argv, &line, std::cout, std::cerr);
  if (parsed >= 0) return parsed;
  tessarin::Console console{std::cout, std::cerr, line.global.json};
  return tessarin::Run(line, console);
}
