#include "platform/terminal.h"

#include <windows.h>

namespace tessarin {

namespace {
HANDLE Handle(StdStream stream) {
  return GetStdHandle(stream == StdStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}
}  // namespace

bool IsTerminal(StdStream stream) {
  DWORD mode = 0;
  // GetConsoleMode succeeds only on a console, not on a pipe or a file.
  return GetConsoleMode(Handle(stream), &mode) != 0;
}

int TerminalColumns(StdStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(Handle(stream), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

}  // namespace tessarin
