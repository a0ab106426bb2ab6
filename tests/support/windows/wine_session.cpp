// Holds a Wine session open while tests run under Wine: `wine_session` makes
// a hidden top-level window, prints "ready" and answers messages until it is
// killed (wineserver -k).
//
// Wine starts its service processes (services.exe, winedevice.exe, rpcss.exe,
// ...) for the first program of a session and its desktop process
// (explorer.exe) for the first window, and ends them once no program is left.
// Started by a test, they inherit the test's output pipe, and ctest then
// waits for them to end long after the test itself has: a passed test times
// out, and every test run beside it is held too. Started first by this
// program, whose output is a file, they live for the whole run and hold
// nothing of any test's.
#include <windows.h>

#include <cstdio>

int main() {
  // Never shown: a window of its own, only so that Wine starts the desktop.
  const HWND window = ::CreateWindowExW(0, L"STATIC", L"wine_session", 0, 0, 0, 0, 0, nullptr,
                                        nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) {
    std::fprintf(stderr, "wine_session: no window (%lu): is DISPLAY an X server?\n",
                 static_cast<unsigned long>(::GetLastError()));
    return 1;
  }
  std::puts("ready");
  std::fflush(stdout);
  // Messages are answered, so that nothing sent to every window (a setting
  // change, a session end) waits on this one.
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}
