#include "support/test_os.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

extern char** environ;

namespace tessarin {

long StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
                  std::string* err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<std::string> all = {program.string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    if (err) *err = "start " + program.string() + ": " + std::generic_category().message(spawned);
    return -1;
  }
  return static_cast<long>(pid);
}

namespace {

int WaitBlocking(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int WaitProgram(long child, std::chrono::milliseconds limit) {
  const auto pid = static_cast<pid_t>(child);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      WaitBlocking(pid);
      return -2;
    }
    struct timespec pause {
      0, 2 * 1000 * 1000
    };
    nanosleep(&pause, nullptr);
  }
}

int KillProgram(long child) {
  ::kill(static_cast<pid_t>(child), SIGKILL);
  return WaitBlocking(static_cast<pid_t>(child));
}

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
               std::string* err) {
  const long pid = StartProgram(program, args, stdoutFile, stderrFile, err);
  if (pid < 0) return -1;
  const int code = WaitBlocking(static_cast<pid_t>(pid));
  if (code < 0 && err)
    *err = "wait for " + program.string() + ": " + std::generic_category().message(errno);
  return code;
}

namespace {

int SignalOf(StopEvent event) {
  switch (event) {
    case StopEvent::kInterrupt:
      return SIGINT;
    case StopEvent::kTerminate:
      return SIGTERM;
    case StopEvent::kHangUp:
      return SIGHUP;
    default:
      return 0;
  }
}

}  // namespace

bool SendStopEvent(long pid, StopEvent event, std::string* err) {
  const int signal = SignalOf(event);
  if (signal == 0) {
    if (err) *err = "this system has no such stop request";
    return false;
  }
  if (::kill(static_cast<pid_t>(pid), signal) != 0) {
    if (err) *err = "kill " + std::to_string(pid) + ": " + std::generic_category().message(errno);
    return false;
  }
  return true;
}

std::optional<std::future<bool>> DeliverStopEvent(StopEvent event) {
  const int signal = SignalOf(event);
  if (signal == 0) return std::nullopt;
  std::promise<bool> handled;
  // Sent to the process, not a thread: any thread that does not block it
  // takes it, as with a signal from outside; this one does before kill returns.
  handled.set_value(::kill(::getpid(), signal) == 0);
  return handled.get_future();
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

bool IsPosixSystem() { return true; }

bool CreateFifo(const std::filesystem::path& path, std::string* err) {
  if (::mkfifo(path.c_str(), 0600) != 0) {
    if (err) *err = "mkfifo " + path.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  return true;
}

NotifyPipe::NotifyPipe() {
  if (::pipe2(m_ends, O_NONBLOCK | O_CLOEXEC) != 0) m_ends[0] = m_ends[1] = -1;
}

NotifyPipe::~NotifyPipe() {
  for (int end : m_ends) {
    if (end >= 0) ::close(end);
  }
}

bool NotifyPipe::Notify() {
  const char byte = 7;
  return m_ends[1] >= 0 && ::write(m_ends[1], &byte, 1) == 1;
}

int NotifyPipe::Drain() {
  int count = 0;
  char byte = 0;
  while (m_ends[0] >= 0 && ::read(m_ends[0], &byte, 1) == 1) ++count;
  return count;
}

bool SetProcessTimeZone(const std::string& tz) {
  if (::setenv("TZ", tz.c_str(), 1) != 0) return false;
  ::tzset();
  return true;
}

}  // namespace tessarin
