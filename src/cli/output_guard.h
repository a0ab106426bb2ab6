// Refuses a command line whose outputs would overwrite its own inputs.
#pragma once

#include <string>

#include "cli/command_line.h"

namespace tessarin {

/// False, with a message naming both, when an output of the command (the
/// dump, the backup, the trace, the made image) is the same file as one of
/// its inputs (the image file, the simulated devices' image and EEPROM
/// files) or as another output, through links too. Checked before anything
/// is read or written.
bool OutputsApart(const CommandLine& line, std::string* error);

}  // namespace tessarin
