#include "app/app_options.h"

#include "sim/sim_spec.h"

namespace tessarin {

std::optional<AppOptions> ParseAppOptions(const std::vector<std::string>& args, std::string* error,
                                          UnknownArguments unknown) {
  AppOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    static const std::string kSimulateEq = "--simulate=";
    if (arg == "--simulate") {
      if (i + 1 >= args.size()) {
        if (error) *error = "--simulate needs a SPEC, e.g. --simulate default";
        return std::nullopt;
      }
      options.m_simulate = args[++i];
    } else if (arg.rfind(kSimulateEq, 0) == 0) {
      options.m_simulate = arg.substr(kSimulateEq.size());
    } else if (arg == "--help" || arg == "-h") {
      options.m_help = true;
    } else if (arg == "--version") {
      options.m_version = true;
    } else if (unknown == UnknownArguments::kIgnore) {
      continue;
    } else {
      if (error) *error = "unknown argument \"" + arg + "\" (try --help)";
      return std::nullopt;
    }
  }
  return options;
}

std::string AppUsage(const std::string& program) {
  return "Usage: " + program +
         " [--simulate SPEC]\n"
         "Burns firmware images into Kestrova USB audio devices.\n"
         "\n"
         "  --simulate SPEC  run on simulated devices instead of the attached ones\n"
         "  --help           show this text\n"
         "  --version        show the version\n"
         "\n" +
         SimSpecHelp();
}

std::optional<StartFailure> BackendStartFailure(const ChosenBackend& chosen) {
  switch (chosen.m_failure) {
    case BackendFailure::kNone:
      break;
    case BackendFailure::kBadSpec:
      return StartFailure{chosen.m_error, 2};
    case BackendFailure::kSimFailed:
      return StartFailure{"cannot start the simulated devices: " + chosen.m_error, 1};
    case BackendFailure::kNoPlatform:
      return StartFailure{"cannot reach the USB devices: " + chosen.m_error +
                              "\nTo try the program without hardware, start it with --simulate "
                              "default.",
                          1};
  }
  return std::nullopt;
}

}  // namespace tessarin
