// tessarin-cli: the burner's core for scripts, production lines and machines
// without a display.
#include <iostream>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace tessarin {
namespace {

int Run(const CommandLine& line, Console& console) {
  switch (line.m_command) {
    case Command::kList:
      return RunList(line.m_global, line.m_list, console);
    case Command::kInfo:
      return RunInfo(line.m_global, line.m_info, console);
    case Command::kImage:
      return RunImage(line.m_global, line.m_image, console);
    case Command::kBurn:
      return RunBurn(line.m_global, line.m_burn, console);
    case Command::kVerify:
      return RunVerify(line.m_global, line.m_verify, console);
    case Command::kDump:
      return RunDump(line.m_global, line.m_dump, console);
    case Command::kMakeImage:
      return RunMakeImage(line.m_global, line.m_makeImage, console);
    case Command::kStation:
      return RunStation(line.m_global, line.m_station, console);
    case Command::kRecords:
      return RunRecords(line.m_global, line.m_records, console);
    case Command::kReleaseSerial:
      return RunReleaseSerial(line.m_global, line.m_releaseSerial, console);
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
  tessarin::Console console{std::cout, std::cerr, line.m_global.m_json};
  return tessarin::Run(line, console);
}
