// Windows host name and process ids; what a process is, from its handle.
#include "platform/process.h"

#include <windows.h>

#include <limits>

#include "platform/process_look.h"
#include "platform/windows/owned_handle.h"
#include "platform/windows/wide_text.h"

namespace tessarin {

ProcessLook LookAtProcess(std::int64_t pid) {
  ProcessLook look;
  if (pid <= 0 || pid > std::numeric_limits<DWORD>::max()) return look;
  const DWORD id = static_cast<DWORD>(pid);
  // While the handle is held the id cannot pass to another process, so the
  // state and the start time read through it are of one process.
  bool canWait = true;
  HANDLE raw = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
  if (raw == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
    canWait = false;
    raw = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  }
  if (raw == nullptr) {
    // Denied even the least access: it exists, it is not ours to look at.
    look.m_running = ::GetLastError() == ERROR_ACCESS_DENIED;
    return look;
  }
  const OwnedHandle process(raw);
  if (canWait) {
    // An ended process whose handles someone still holds is signalled.
    look.m_running = ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
  } else {
    DWORD code = 0;
    look.m_running = ::GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
  }
  FILETIME created{}, exited{}, kernel{}, user{};
  if (look.m_running && ::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
    look.m_startTime = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
  }
  return look;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD length = static_cast<DWORD>(sizeof name / sizeof name[0]);
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length) || length == 0) {
    return "unknown-host";
  }
  return WideToUtf8(std::wstring_view(name, length));
}

std::int64_t ProcessId() { return static_cast<std::int64_t>(::GetCurrentProcessId()); }

}  // namespace tessarin
