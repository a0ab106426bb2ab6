// Splits the input at each NUL byte into the arguments of the tool and parses them. Whatever
// they are, the parser ends in one of its three outcomes and never throws: a command to run,
// help or a version printed (exit 0), or a usage error said on the error stream (exit 2).
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_codes.h"
#include "fuzz_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessarin;
  using fuzz::Check;
  std::vector<std::string> args{"tessarin-cli"};
  std::string arg;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  if (!arg.empty()) args.push_back(arg);
  if (args.size() > 64) return 0;
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  CommandLine line;
  std::ostringstream out, err;
  const int code = ParseCommandLine(static_cast<int>(args.size()), argv.data(), &line, out, err);
  if (code == -1) {
    Check(line.m_command != Command::kNone);
  } else if (code == EXIT_OK) {
    Check(!out.str().empty());
  } else {
    Check(code == EXIT_BAD_INPUT && !err.str().empty());
  }
  return 0;
}
