#include "support/test_os.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "platform/windows/console_stop.h"
#include "platform/windows/owned_handle.h"
#include "platform/windows/wide_text.h"

namespace tessarin {
namespace {

// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged: backslashes are literal except before a quote.
void AppendQuoted(const std::wstring& arg, std::wstring& line) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::string ErrorText(DWORD code) { return "Windows error " + std::to_string(code); }

OwnedHandle OpenInheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return OwnedHandle(::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Starts `program` with its standard handles on NUL and the two files; the
// process and thread handles in *started, or false with the reason in *err.
bool Launch(const std::filesystem::path& program, const std::vector<std::string>& args,
            const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
            DWORD flags, PROCESS_INFORMATION* started, std::string* err) {
  const std::string name = WideToUtf8(program.native());
  std::wstring line;
  AppendQuoted(program.native(), line);
  for (const std::string& arg : args) AppendQuoted(Utf8ToWide(arg).value_or(L"?"), line);

  const OwnedHandle in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  const OwnedHandle out = OpenInheritable(stdoutFile.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  const OwnedHandle error = OpenInheritable(stderrFile.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  if (!in.valid() || !out.valid() || !error.valid()) {
    if (err)
      *err = "start " + name + ": cannot open its output files: " + ErrorText(::GetLastError());
    return false;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.get();
  startup.hStdOutput = out.get();
  startup.hStdError = error.get();
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &startup, started)) {
    if (err) *err = "start " + name + ": " + ErrorText(::GetLastError());
    return false;
  }
  return true;
}

int ExitCodeOf(HANDLE process) {
  DWORD code = 0;
  return ::GetExitCodeProcess(process, &code) ? static_cast<int>(code) : -1;
}

// The children of StartProgram by id, with their handles held so that an id
// never passes to another process while a test still means the child.
std::mutex g_childrenLock;
std::map<long, OwnedHandle> g_children;

OwnedHandle TakeChild(long pid) {
  std::lock_guard<std::mutex> lock(g_childrenLock);
  const auto found = g_children.find(pid);
  if (found == g_children.end()) return OwnedHandle();
  OwnedHandle child = std::move(found->second);
  g_children.erase(found);
  return child;
}

// The handle of a child of StartProgram, held in g_children; null for none.
HANDLE ChildHandle(long pid) {
  std::lock_guard<std::mutex> lock(g_childrenLock);
  const auto found = g_children.find(pid);
  return found == g_children.end() ? nullptr : found->second.get();
}

// How long a handler holding the child for an ending request is waited for:
// well beyond the grace the program gives itself.
constexpr DWORD kHandlerWaitMs = 30000;

// Starts the console's control routine with `event` on a new thread of the
// child, as the system delivers a console event (it runs the process's
// handlers on a thread it creates there): kernelbase's CtrlRoutine, which
// is at the same address in every process of the session.
OwnedHandle StartCtrlRoutine(HANDLE child, DWORD event, std::string* err) {
  const HMODULE kernelbase = ::GetModuleHandleW(L"kernelbase.dll");
  const auto routine =
      kernelbase
          ? reinterpret_cast<LPTHREAD_START_ROUTINE>(::GetProcAddress(kernelbase, "CtrlRoutine"))
          : nullptr;
  if (!routine) {
    if (err) *err = "this system's kernelbase.dll has no CtrlRoutine";
    return OwnedHandle();
  }
  OwnedHandle thread(::CreateRemoteThread(child, nullptr, 0, routine,
                                          reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0,
                                          nullptr));
  if (!thread.valid() && err) *err = "CreateRemoteThread: " + ErrorText(::GetLastError());
  return thread;
}

// The child's session-end window (the hidden one of its StopRequests).
HWND SessionEndWindowOf(DWORD pid) {
  HWND window = nullptr;
  DWORD owner = 0;
  do {
    window = ::FindWindowExW(nullptr, window, kSessionEndWindowClass, nullptr);
  } while (window && (::GetWindowThreadProcessId(window, &owner), owner) != pid);
  return window;
}

// Tells the window of a log-off as Windows does: the query, then the end;
// true once the window has answered both.
bool EndSessionOf(HWND window) {
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                             kHandlerWaitMs, &answer) ||
      answer != TRUE) {
    return false;
  }
  return ::SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                               kHandlerWaitMs, &answer) != 0;
}

bool Ending(StopEvent event) {
  return event == StopEvent::kConsoleClosed || event == StopEvent::kLogOff ||
         event == StopEvent::kShutdown || event == StopEvent::kEndSession;
}

DWORD ConsoleEventOf(StopEvent event) {
  switch (event) {
    case StopEvent::kInterrupt:
      return CTRL_C_EVENT;
    case StopEvent::kBreak:
      return CTRL_BREAK_EVENT;
    case StopEvent::kConsoleClosed:
      return CTRL_CLOSE_EVENT;
    case StopEvent::kLogOff:
      return CTRL_LOGOFF_EVENT;
    case StopEvent::kShutdown:
      return CTRL_SHUTDOWN_EVENT;
    default:
      return MAXDWORD;
  }
}

}  // namespace

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
               std::string* err) {
  PROCESS_INFORMATION process{};
  if (!Launch(program, args, stdoutFile, stderrFile, CREATE_NO_WINDOW, &process, err)) return -1;
  const OwnedHandle thread(process.hThread);
  const OwnedHandle child(process.hProcess);
  ::WaitForSingleObject(child.get(), INFINITE);
  const int code = ExitCodeOf(child.get());
  if (code < 0 && err) {
    *err = "wait for " + WideToUtf8(program.native()) + ": " + ErrorText(::GetLastError());
  }
  return code;
}

long StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
                  std::string* err) {
  // In this process's group: a group of its own would ignore Ctrl+C (and,
  // under Wine, every console event); SendStopEvent reaches the child alone.
  DWORD flags = 0;
  if (::GetConsoleWindow() == nullptr) flags |= CREATE_NO_WINDOW;
  PROCESS_INFORMATION process{};
  if (!Launch(program, args, stdoutFile, stderrFile, flags, &process, err)) return -1;
  const OwnedHandle thread(process.hThread);
  const long pid = static_cast<long>(process.dwProcessId);
  std::lock_guard<std::mutex> lock(g_childrenLock);
  g_children[pid] = OwnedHandle(process.hProcess);
  return pid;
}

int WaitProgram(long pid, std::chrono::milliseconds limit) {
  const OwnedHandle child = TakeChild(pid);
  if (!child.valid()) return -1;
  const auto ms = std::max<std::chrono::milliseconds::rep>(limit.count(), 0);
  const DWORD wait = static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(ms, INFINITE - 1));
  if (::WaitForSingleObject(child.get(), wait) != WAIT_OBJECT_0) {
    ::TerminateProcess(child.get(), 137);
    ::WaitForSingleObject(child.get(), INFINITE);
    return -2;
  }
  return ExitCodeOf(child.get());
}

int KillProgram(long pid) {
  const OwnedHandle child = TakeChild(pid);
  if (!child.valid()) return -1;
  ::TerminateProcess(child.get(), 137);
  ::WaitForSingleObject(child.get(), INFINITE);
  return ExitCodeOf(child.get());
}

bool SendStopEvent(long pid, StopEvent event, std::string* err) {
  const HANDLE child = ChildHandle(pid);
  if (!child) {
    if (err) *err = "no child " + std::to_string(pid) + " of StartProgram";
    return false;
  }
  if (event == StopEvent::kEndSession) {
    const HWND window = SessionEndWindowOf(static_cast<DWORD>(pid));
    if (!window) {
      if (err) *err = "the child has no session-end window (no window system?)";
      return false;
    }
    if (!EndSessionOf(window)) {
      if (err) *err = "the child's session-end window did not answer";
      return false;
    }
  } else {
    const DWORD console = ConsoleEventOf(event);
    if (console == MAXDWORD) {
      if (err) *err = "Windows has no such console event";
      return false;
    }
    const OwnedHandle thread = StartCtrlRoutine(child, console, err);
    if (!thread.valid()) return false;
    // The handler of an ending event returns once the program has stopped.
    if (Ending(event)) ::WaitForSingleObject(thread.get(), kHandlerWaitMs);
  }
  // Windows ends the program once the handler has returned.
  if (Ending(event)) ::TerminateProcess(child, STATUS_CONTROL_C_EXIT);
  return true;
}

std::optional<std::future<bool>> DeliverStopEvent(StopEvent event) {
  if (event == StopEvent::kEndSession) {
    const HWND window = SessionEndWindowOf(::GetCurrentProcessId());
    if (!window) return std::nullopt;
    return std::async(std::launch::async, [window] { return EndSessionOf(window); });
  }
  const DWORD console = ConsoleEventOf(event);
  if (console == MAXDWORD) return std::nullopt;
  return std::async(std::launch::async, [console] { return HandleConsoleStopEvent(console); });
}

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

bool IsPosixSystem() { return false; }

bool CreateFifo(const std::filesystem::path&, std::string* err) {
  if (err) *err = "this system has no FIFOs in the file system";
  return false;
}

bool SetProcessTimeZone(const std::string&) { return false; }

}  // namespace tessarin
