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

// Syntax of SPEC (this block is the user documentation; keep it in step):
//
//   SPEC     := ITEM { ';' ITEM }
//   ITEM     := 'default' | 'none' | 'dir=' PATH | DEVICE
//   DEVICE   := KEY '=' VALUE { ',' KEY '=' VALUE }
//
//   default          one Kestrova device: vid=0495,pid=8041,mode=1
//   none             no device at all (the spec may not be empty otherwise)
//   dir=PATH         keep each device's EEPROM in PATH/sim-<n>.eeprom (n = 0, 1, ...
//                    in the order the devices are given), so a burn survives from
//                    one run to the next; the directory must exist
//
//   Device keys (each optional; a device given by keys starts from `default`):
//   vid=HEX          vendor id, 1 to 4 hex digits (default 0495)
//   pid=HEX          product id (default 8041)
//   mode=1|2|none    1: 65-byte output and input reports; 2: 65-byte feature
//                    report only; none: 64-byte reports, not usable (default 1)
//   paged=0|1        answers the paged-write query with yes (default 0)
//   ready-after=N|never   ready queries answering "busy" after each write (default 0)
//   probe=0|1        answers the probe (default 1)
//   latency=TIME     time per transfer: a number with unit ns, us, ms or s (default 0)
//   fail-send=K      the K-th send (from 1) fails; may be repeated
//   fail-fetch=K     the K-th fetch (from 1) fails; may be repeated
//   corrupt=ADDR     the EEPROM byte at ADDR (hex with 0x, or decimal) reads back
//                    inverted; may be repeated
//   vanish-after=K   the device is unplugged after K transfers
//   deny-open=0|1    opening the device fails with "Permission denied"
//   image=FILE       initial EEPROM contents (at most 32768 bytes); a file kept by
//                    dir= takes precedence once it exists
//
//   Blanks around items, keys and values are ignored.
//   Examples:
//     default
//     vid=0495,pid=8041,mode=2,paged=1,ready-after=3,latency=170us
//     dir=/tmp/kestrova;default;pid=8042,mode=2

struct SimSpec {
  std::vector<SimDeviceConfig> devices;
  std::string dir;  ///< empty: EEPROMs live in memory only
};

/// Parses SPEC. On an error returns nullopt and puts in *error a message that
/// names the bad item, e.g. `--simulate: "ready-after=soon": expected a number or "never"`.
std::optional<SimSpec> ParseSimSpec(std::string_view text, std::string* error);

/// A backend with the spec's devices added in order (sim:0, sim:1, ...), each
/// keeping its EEPROM under `dir` when one is given. Returns null when an
/// image or EEPROM file cannot be loaded, with the reason in *error.
std::unique_ptr<SimBackend> CreateSimBackend(const SimSpec& spec, std::string* error,
                                             std::shared_ptr<SimClock> clock = RealClock());

}  // namespace tessarin
