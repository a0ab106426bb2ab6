// What the tests need of the operating system beyond the programs' own
// platform layer: starting the built tools, FIFOs and the process's time zone.
#pragma once

#include <chrono>
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

/// Starts `program` like RunProgram but does not wait: the id of the child,
/// or -1 with the reason in *err. POSIX only (the tests that kill programs).
long StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
                  std::string* err);
/// Waits for a child started by StartProgram; its exit code as RunProgram's.
/// One still running after `limit` is killed: -2.
int WaitProgram(long pid, std::chrono::milliseconds limit = std::chrono::minutes(2));
/// Kills the child at once (SIGKILL) and waits for it.
int KillProgram(long pid);

/// This process's id, for names of scratch files that must not collide.
unsigned long CurrentProcessId();

/// True on a POSIX system, where /bin/bash, /dev/null and /dev/full mean what
/// they say (under Wine they may exist as names but are not those).
bool IsPosixSystem();

/// Creates a FIFO. False where the system has none.
bool CreateFifo(const std::filesystem::path& path, std::string* err);

/// Switches the process's time zone to a TZ rule such as "CET-1CEST,M3.5.0,M10.5.0/3".
/// False where that cannot be done.
bool SetProcessTimeZone(const std::string& tz);

}  // namespace tessarin
