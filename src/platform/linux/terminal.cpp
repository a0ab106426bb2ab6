#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace tessarin {

namespace {
int Fd(StdStream stream) { return stream == StdStream::kOutput ? STDOUT_FILENO : STDERR_FILENO; }
}  // namespace

bool IsTerminal(StdStream stream) { return isatty(Fd(stream)) == 1; }

int TerminalColumns(StdStream stream) {
  winsize size{};
  if (ioctl(Fd(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace tessarin
