// Starting another program and waiting for it: what the end-to-end tests of
// the command-line tool need to run the built tool.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessarin {

/// Runs `program` with `args` (UTF-8; passed to the program unchanged,
/// blanks and quotes included), its standard input empty and its standard
/// output and error written to the two files, and waits for it to end.
/// Returns its exit code (128 + the signal number when a signal ended it), or
/// -1 with the reason in *err when it could not be started.
int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
               std::string* err);

/// This process's id, for names of scratch files that must not collide.
unsigned long CurrentProcessId();

}  // namespace tessarin
