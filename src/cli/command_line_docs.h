// The completion scripts and the manual page of the tool, written from its
// command line as the parser knows it.
#pragma once

#include <string>

#include "cli/command_line.h"

namespace tessarin {

/// The bash completion: the function _tessarin_cli, bound to tessarin-cli.
std::string BashCompletion(const CommandLineDoc& doc);
/// The zsh completion (#compdef tessarin-cli).
std::string ZshCompletion(const CommandLineDoc& doc);
/// The fish completion.
std::string FishCompletion(const CommandLineDoc& doc);
/// The manual page (man(7) macros), every command with its options. `date`
/// as the page's footer shows it.
std::string ManPage(const CommandLineDoc& doc, const std::string& version, const std::string& date);
/// The window program's manual page from its --help text.
std::string WindowManPage(const std::string& usage, const std::string& version,
                          const std::string& date);

}  // namespace tessarin
