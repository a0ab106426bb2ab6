// POSIX host name and process ids.
#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace tessarin {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown-host";
  return name;
}

std::int64_t ProcessId() { return static_cast<std::int64_t>(::getpid()); }

bool ProcessRunning(std::int64_t pid) {
  if (pid <= 0) return false;
  // Signal 0 checks existence only; EPERM means it runs under another user.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace tessarin
