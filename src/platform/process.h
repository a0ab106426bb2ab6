// What the production station needs to know of the machine and its processes:
// the host's name for its records, and whether a station that reserved a
// serial number is still running.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessarin {

/// This machine's host name; "unknown-host" when the system gives none.
std::string HostName();

/// This process's id.
std::int64_t ProcessId();

/// True while a process with this id runs on this machine (also one this
/// process may not signal); false when none does, for one that ended but is
/// not yet reaped, and for ids of 0 or less or beyond the system's range.
bool ProcessRunning(std::int64_t pid);

/// When the running process with this id started, in the system's own units:
/// on Linux clock ticks since boot (field 22 of /proc/PID/stat), on Windows
/// the creation time in 100 ns ticks since 1601 (FILETIME). Only compared
/// with another value from this function on the same machine: together with
/// the id it names one process, since a later process that gets the same id
/// has a later start time. Empty when no process with this id runs (one that
/// ended but is not yet reaped counts as ended), for ids of 0 or less, and
/// when the system does not say (then ProcessAlive decides as below).
std::optional<std::int64_t> ProcessStartTime(std::int64_t pid);

/// True while the process with this id and this start time (a value of
/// ProcessStartTime) runs; false when none runs, when it ended (also when not
/// yet reaped), and when the id now belongs to another process (another start
/// time). A process that runs but whose start time the system keeps from
/// this one (another user's, on a system that hides them) counts as alive:
/// its work is never taken for abandoned.
bool ProcessAlive(std::int64_t pid, std::int64_t startTime);

}  // namespace tessarin
