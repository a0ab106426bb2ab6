// Windows host name and process ids.
#include "platform/process.h"

#include <windows.h>

#include "platform/windows/owned_handle.h"
#include "platform/windows/wide_text.h"

namespace tessarin {

std::string HostName() {
  wchar_t name[256] = {};
  DWORD length = static_cast<DWORD>(sizeof name / sizeof name[0]);
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length) || length == 0) {
    return "unknown-host";
  }
  return WideToUtf8(std::wstring_view(name, length));
}

std::int64_t ProcessId() { return static_cast<std::int64_t>(::GetCurrentProcessId()); }

bool ProcessRunning(std::int64_t pid) {
  if (pid <= 0) return false;
  HANDLE raw = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (raw == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  OwnedHandle process(raw);
  DWORD code = 0;
  return ::GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

}  // namespace tessarin
