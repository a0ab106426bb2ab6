// tessarin-cli: the burner's core for scripts, production lines and machines
// without a display.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/output_guard.h"
#include "platform/signals.h"

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
    case Command::kImportRecords:
      return RunImportRecords(line.m_global, line.m_importRecords, console);
    case Command::kNone:
      break;
  }
  return console.Fail(EXIT_BAD_INPUT, "no command given: run `tessarin-cli --help`");
}

}  // namespace
}  // namespace tessarin

namespace tessarin {
namespace {

// Every result goes to the standard output: a write that failed (a full
// disk, a closed pipe) must not end as success.
int CheckStandardOutput(int code) {
  std::cout.flush();
  const bool failed = !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout);
  if (!failed) return code;
  const int error = errno;
  std::fprintf(stderr,
               "tessarin-cli: writing the standard output failed (%s); the command itself "
               "ended with exit code %d\n",
               error != 0 ? std::strerror(error) : "a write failed", code);
  return code == EXIT_OK ? EXIT_BAD_INPUT : code;
}

}  // namespace
}  // namespace tessarin

int main(int argc, char** argv) {
  // A closed output (`burn a.rom | head -1`) fails the writes instead of
  // killing a burn half-way.
  tessarin::IgnoreBrokenPipe();
  tessarin::CommandLine line;
  int parsed = tessarin::ParseCommandLine(argc, argv, &line, std::cout, std::cerr);
  if (parsed >= 0) return tessarin::CheckStandardOutput(parsed);
  tessarin::Console console{std::cout, std::cerr, line.m_global.m_json};
  std::string error;
  if (!tessarin::OutputsApart(line, &error)) {
    return tessarin::CheckStandardOutput(console.Fail(tessarin::EXIT_BAD_INPUT, error));
  }
  return tessarin::CheckStandardOutput(tessarin::Run(line, console));
}
