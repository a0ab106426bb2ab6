// The command line of the window program.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/backend_choice.h"

namespace tessarin {

struct AppOptions {
  /// The simulated devices to run on (--simulate SPEC); none: the real ones.
  std::optional<std::string> m_simulate;
  bool m_help = false;
  bool m_version = false;
};

/// What an argument the program does not know does.
enum class UnknownArguments {
  kRefuse,  ///< an error naming it
  kIgnore,  ///< passed over (Windows: a file dropped on the program arrives so)
};

/// Parses the arguments after the program name (Qt's own options already
/// removed). On an error returns nullopt with a message naming the argument.
std::optional<AppOptions> ParseAppOptions(const std::vector<std::string>& args, std::string* error,
                                          UnknownArguments unknown = UnknownArguments::kRefuse);

/// The text of --help.
std::string AppUsage(const std::string& program);

/// Why the window program cannot start on the backend it chose: what to tell
/// the user and the exit status.
struct StartFailure {
  std::string m_message;
  int m_exitCode = 1;
};
/// Null when `chosen` started; otherwise the failure, with its advice.
std::optional<StartFailure> BackendStartFailure(const ChosenBackend& chosen);

}  // namespace tessarin
