// What the production station needs to know of the machine and its processes:
// the host's name for its records, and whether a station that reserved a
// serial number is still running.
#pragma once

#include <cstdint>
#include <string>

namespace tessarin {

/// This machine's host name; "unknown-host" when the system gives none.
std::string HostName();

/// This process's id.
std::int64_t ProcessId();

/// True while a process with this id runs on this machine (also one this
/// process may not signal); false when none does.
bool ProcessRunning(std::int64_t pid);

}  // namespace tessarin
