// The production station's commands on the tool's command line.
#pragma once

#include "cli/command_line.h"

namespace CLI {
class App;
}

namespace tessarin {

/// Adds `station`, `records` and `release-serial` to the parser.
void AddStationCommands(CLI::App& app, CommandLine* line);

}  // namespace tessarin
