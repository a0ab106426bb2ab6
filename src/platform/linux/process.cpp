// POSIX host name and process ids; what a process is, from /proc.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <string_view>

#include "platform/process_look.h"

namespace tessarin {
namespace {

// Field `n` (1-based, as proc(5) counts) of /proc/PID/stat. The command name
// (field 2) is in parentheses and may itself hold blanks and parentheses, so
// fields 3 and later are counted from the last ')'.
std::optional<std::string_view> StatField(std::string_view stat, int n) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || n < 3) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  for (int field = 3;; ++field) {
    const std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(begin);
    const std::size_t end = rest.find(' ');
    const std::string_view token = rest.substr(0, end);
    if (field == n) return token;
    if (end == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(end);
  }
}

// The whole of /proc/PID/stat (well under a page); empty when it cannot be read.
std::string ReadStat(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[1024];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > 16 * 1024) break;  // never the case for a real stat file
  }
  ::close(fd);
  return text;
}

}  // namespace

ProcessLook LookAtProcess(std::int64_t pid) {
  ProcessLook look;
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return look;
  const std::string stat = ReadStat(static_cast<pid_t>(pid));
  const auto state = StatField(stat, 3);
  const auto start = StatField(stat, 22);
  std::int64_t ticks = -1;
  if (start) {
    const char* end = start->data() + start->size();
    const auto parsed = std::from_chars(start->data(), end, ticks);
    if (parsed.ec != std::errc{} || parsed.ptr != end) ticks = -1;
  }
  if (state && ticks >= 0) {
    // Z: ended, waiting to be reaped; X: being removed.
    look.m_running = *state != "Z" && *state != "X";
    if (look.m_running) look.m_startTime = ticks;
    return look;
  }
  // No /proc entry to read (none mounted, or another user's process hidden):
  // signal 0 checks existence only; EPERM means it runs under another user.
  look.m_running = ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
  return look;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown-host";
  return name;
}

std::int64_t ProcessId() { return static_cast<std::int64_t>(::getpid()); }

}  // namespace tessarin
