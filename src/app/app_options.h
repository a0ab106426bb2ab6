// The command line of the window program.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessarin {

struct AppOptions {
  /// The simulated devices to run on (--simulate SPEC); none: the real ones.
  std::optional<std::string> m_simulate;
  bool m_help = false;
  bool m_version = false;
};

/// Parses the arguments after the program name (Qt's own options already
/// removed). On an error returns nullopt with a message naming the argument.
std::optional<AppOptions> ParseAppOptions(const std::vector<std::string>& args, std::string* error);

/// The text of --help.
std::string AppUsage(const std::string& program);

}  // namespace tessarin
