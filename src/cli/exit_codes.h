// The command-line tool's exit codes, shared by every command.
#pragma once

namespace tessarin {

enum ExitCode : int {
  EXIT_OK = 0,             ///< done
  EXIT_DEVICE_FAILED = 1,  ///< the device operation failed (burn, verify, read)
  EXIT_BAD_INPUT = 2,      ///< bad usage, or an input file that cannot be used
  EXIT_NO_DEVICE = 3,      ///< no device, not a Kestrova device, or the image was refused
};

}  // namespace tessarin
