// The text that describes simulated devices on the command line
// (--simulate SPEC, the same in the command-line tool and the window program).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "sim/sim_device.h"

namespace tessarin {

/// The syntax of SPEC, as the programs' --help shows it (the user
/// documentation), its keys from the same table ParseSimSpec reads them with.
const std::string& SimSpecHelp();

struct SimSpec {
  std::vector<SimDeviceConfig> m_devices;
  /// Devices plugged in and out while the program runs (units=N items).
  std::vector<SimPlugPlan> m_plans;
  std::string m_dir;  ///< empty: EEPROMs live in memory only
};

/// Parses SPEC. On an error returns nullopt and puts in *error a message that
/// names the bad item, e.g. `--simulate: "ready-after=soon": expected a number or "never"`.
std::optional<SimSpec> ParseSimSpec(std::string_view text, std::string* error);

/// The file under `dir=` that keeps the EEPROM of the index-th device: "sim-<index>.eeprom".
std::string SimEepromFileName(std::size_t index);

/// A backend with the spec's devices added in order (sim:0, sim:1, ...), each
/// keeping its EEPROM under `dir` when one is given, and its plug plans started. Returns null when
/// an image or EEPROM file cannot be loaded, with the reason in *error.
std::unique_ptr<SimBackend> CreateSimBackend(const SimSpec& spec, std::string* error,
                                             std::shared_ptr<SimClock> clock = RealClock());

}  // namespace tessarin
