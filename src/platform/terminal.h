// Whether the program's standard streams are terminals, and how wide.
#pragma once

namespace tessarin {

enum class StdStream { kOutput, kError };

/// True when the stream is an interactive terminal (a console on Windows).
bool IsTerminal(StdStream stream);

/// Columns of the terminal behind the stream; 80 when unknown.
int TerminalColumns(StdStream stream);

}  // namespace tessarin
