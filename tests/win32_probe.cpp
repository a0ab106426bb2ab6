// Reads a control of a running program's dialog from outside, for the
// end-to-end run of .ci/windows: `dialog_probe CAPTION ID` prints the text
// of control ID of the top-level window titled CAPTION, and ends with 1 when
// no such window or control exists.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: dialog_probe CAPTION CONTROL-ID\n", stderr);
    return 2;
  }
  const HWND window = ::FindWindowW(nullptr, argv[1]);
  const HWND control = window != nullptr ? ::GetDlgItem(window, std::wcstol(argv[2], nullptr, 0)) : nullptr;
  if (control == nullptr) return 1;
  wchar_t text[1024] = {};
  ::GetWindowTextW(control, text, 1024);  // WM_GETTEXT crosses processes
  char utf8[4096] = {};
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  std::printf("%s\n", utf8);
  return 0;
}
