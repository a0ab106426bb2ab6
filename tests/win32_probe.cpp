// Reads a control of a running program's dialog from outside, for the
// end-to-end run of .ci/windows: `dialog_probe CAPTION ID` prints the text
// of control ID of the top-level window titled CAPTION, `... ID count` the
// number of lines of a combo box, `... ID enabled` 1 or 0; it ends with 1
// when no such window or control exists.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) {
    std::fputs("usage: dialog_probe CAPTION CONTROL-ID [count|enabled]\n", stderr);
    return 2;
  }
  const HWND window = ::FindWindowW(nullptr, argv[1]);
  const HWND control =
      window != nullptr ? ::GetDlgItem(window, std::wcstol(argv[2], nullptr, 0)) : nullptr;
  if (control == nullptr) return 1;
  if (argc == 4 && std::wcscmp(argv[3], L"count") == 0) {
    std::printf("%ld\n", static_cast<long>(::SendMessageW(control, CB_GETCOUNT, 0, 0)));
    return 0;
  }
  if (argc == 4 && std::wcscmp(argv[3], L"enabled") == 0) {
    std::printf("%d\n", ::IsWindowEnabled(control) ? 1 : 0);
    return 0;
  }
  wchar_t text[1024] = {};
  ::GetWindowTextW(control, text, 1024);  // WM_GETTEXT crosses processes
  char utf8[4096] = {};
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  std::printf("%s\n", utf8);
  return 0;
}
