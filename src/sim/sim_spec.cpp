#include "sim/sim_spec.h"

#include <charconv>
#include <set>
#include <filesystem>
#include <system_error>
#include <utility>

namespace tessarin {

const char kSimSpecHelp[] = R"(--simulate SPEC: simulated devices instead of the real ones.
  SPEC     := ITEM { ';' ITEM }
  ITEM     := 'default' | 'none' | 'dir=' PATH | DEVICE
  DEVICE   := KEY '=' VALUE { ',' KEY '=' VALUE }

  default          one Kestrova device: vid=0495,pid=8041,mode=1
  none             no device at all (the spec may not be empty otherwise)
  dir=PATH         keep each device's EEPROM in PATH/sim-<n>.eeprom (n = 0, 1, ...
                   in the order the devices are given), so a burn survives from
                   one run to the next; the directory must exist

  Device keys (each optional; a device given by keys starts from `default`):
  vid=HEX          vendor id, 1 to 4 hex digits (default 0495)
  pid=HEX          product id (default 8041)
  mode=1|2|none    1: 65-byte output and input reports; 2: 65-byte feature
                   report only; none: 64-byte reports, not usable (default 1)
  paged=0|1        answers the paged-write query with yes (default 0)
  ready-after=N|never   ready queries answering "busy" after each write (default 0)
  probe=0|1        answers the probe (default 1)
  latency=TIME     time per transfer: a number with unit ns, us, ms or s (default 0)
  fail-send=K      the K-th send (from 1) fails; may be repeated
  fail-fetch=K     the K-th fetch (from 1) fails; may be repeated
  corrupt=ADDR     the EEPROM byte at ADDR (hex with 0x, or decimal) reads back
                   inverted; may be repeated
  vanish-after=K   the device is unplugged after K transfers (0: at once)
  deny-open=0|1    opening the device fails with "Permission denied"
  image=FILE       initial EEPROM contents (at most 32768 bytes); a file kept by
                   dir= takes precedence once it exists

  Plugging devices in and out while the program runs (for `station`): an item
  with units=N stands for N such devices that an operator plugs in one after
  the other and unplugs again once each has been idle for a moment.
  units=N          how many devices (1 to 100000)
  ports=M          into how many ports, "port-1" ... "port-M", numbered on over
                   the items (default 1); a device goes into the next free port
  every=TIME       the pause between two plugs (default 200ms)
  linger=TIME      a device is unplugged after this long without a transfer
                   (default 500ms; 20 times as long before its first transfer),
                   or at once when it vanished (vanish-after=K)
  With dir=PATH, unit u keeps its EEPROM in PATH/unit-<u>.eeprom.

  Blanks around items, keys and values are ignored.
  Examples:
    default
    vid=0495,pid=8041,mode=2,paged=1,ready-after=3,latency=170us
    dir=/tmp/kestrova;default;pid=8042,mode=2
    units=8,ports=4,latency=170us,every=100ms
)";

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(Trim(text.substr(0, at)));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// A whole string of digits in `base`, no sign, within [0, max].
bool ParseNumber(std::string_view text, int base, unsigned long long max,
                 unsigned long long& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  return ec == std::errc() && ptr == end && value <= max;
}

bool ParseHexId(std::string_view text, std::uint16_t& id) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  unsigned long long value = 0;
  if (text.size() > 4 || !ParseNumber(text, 16, 0xFFFF, value)) return false;
  id = static_cast<std::uint16_t>(value);
  return true;
}

bool ParseAddress(std::string_view text, std::uint32_t& address) {
  unsigned long long value = 0;
  bool ok;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    ok = ParseNumber(text.substr(2), 16, 0xFFFF, value);
  } else {
    ok = ParseNumber(text, 10, 0xFFFF, value);
  }
  address = static_cast<std::uint32_t>(value);
  return ok;
}

bool ParseFlag(std::string_view text, bool& flag) {
  if (text != "0" && text != "1") return false;
  flag = text == "1";
  return true;
}

bool ParseDuration(std::string_view text, std::chrono::nanoseconds& duration) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const std::string_view unit = text.substr(digits);
  unsigned long long perUnit;
  if (unit == "ns") {
    perUnit = 1;
  } else if (unit == "us") {
    perUnit = 1000;
  } else if (unit == "ms") {
    perUnit = 1000 * 1000;
  } else if (unit == "s") {
    perUnit = 1000 * 1000 * 1000;
  } else {
    return false;
  }
  constexpr unsigned long long kMaxNs = 10ull * 1000 * 1000 * 1000;  // 10 s per transfer
  unsigned long long count = 0;
  if (!ParseNumber(text.substr(0, digits), 10, kMaxNs / perUnit, count)) return false;
  duration = std::chrono::nanoseconds(static_cast<long long>(count * perUnit));
  return true;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Parses one device item, with its plug keys into *plan (m_units 0: none
// given); on an error puts the message in *error.
bool ParseDevice(std::string_view item, SimDeviceConfig& config, SimPlugPlan* plan,
                 std::string* error) {
  std::set<std::string_view> seen;
  for (std::string_view pair : Split(item, ',')) {
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) {
      *error = Quoted(pair) + ": expected KEY=VALUE, \"default\", \"none\" or \"dir=PATH\"";
      return false;
    }
    const std::string_view key = Trim(pair.substr(0, eq));
    const std::string_view value = Trim(pair.substr(eq + 1));
    const auto Bad = [&](const char* expected) {
      *error = Quoted(pair) + ": expected " + expected;
      return false;
    };
    const bool repeatable = key == "fail-send" || key == "fail-fetch" || key == "corrupt";
    if (!repeatable && !seen.insert(key).second) {
      *error = Quoted(pair) + ": " + Quoted(key) + " is given twice for one device; give it once";
      return false;
    }
    unsigned long long number = 0;
    if (key == "vid") {
      if (!ParseHexId(value, config.m_vendorId)) return Bad("1 to 4 hex digits");
    } else if (key == "pid") {
      if (!ParseHexId(value, config.m_productId)) return Bad("1 to 4 hex digits");
    } else if (key == "mode") {
      if (value == "1") {
        config.m_outputReportByteLength = 65;
        config.m_inputReportByteLength = 65;
        config.m_featureReportByteLength = 0;
      } else if (value == "2") {
        config.m_outputReportByteLength = 0;
        config.m_inputReportByteLength = 0;
        config.m_featureReportByteLength = 65;
      } else if (value == "none") {
        config.m_outputReportByteLength = 64;
        config.m_inputReportByteLength = 64;
        config.m_featureReportByteLength = 64;
      } else {
        return Bad("1, 2 or none");
      }
    } else if (key == "paged") {
      if (!ParseFlag(value, config.m_pagedWrite)) return Bad("0 or 1");
    } else if (key == "probe") {
      if (!ParseFlag(value, config.m_answersProbe)) return Bad("0 or 1");
    } else if (key == "deny-open") {
      if (!ParseFlag(value, config.m_denyOpen)) return Bad("0 or 1");
    } else if (key == "ready-after") {
      if (value == "never") {
        config.m_readyAfter = SimDeviceConfig::kReadyNever;
      } else if (ParseNumber(value, 10, 1000000, number)) {
        config.m_readyAfter = static_cast<int>(number);
      } else {
        return Bad("a number up to 1000000 or \"never\"");
      }
    } else if (key == "latency") {
      if (!ParseDuration(value, config.m_latency)) {
        return Bad("a whole number with unit ns, us, ms or s, at most 10 s (e.g. 170us)");
      }
    } else if (key == "fail-send" || key == "fail-fetch") {
      if (!ParseNumber(value, 10, 1000000000, number) || number == 0) {
        return Bad("a transfer number from 1");
      }
      (key == "fail-send" ? config.m_failSends : config.m_failFetches)
          .insert(static_cast<long>(number));
    } else if (key == "corrupt") {
      std::uint32_t address = 0;
      if (!ParseAddress(value, address)) return Bad("an address from 0 to 0xFFFF (0x for hex)");
      config.m_corruptAddresses.insert(address & (EEPROM_BYTES - 1));
    } else if (key == "vanish-after") {
      if (!ParseNumber(value, 10, 1000000000, number)) return Bad("a number of transfers");
      config.m_vanishAfterFrames = static_cast<long>(number);
    } else if (key == "image") {
      if (value.empty()) return Bad("a file name");
      config.m_imageFile = std::string(value);
    } else if (key == "units") {
      if (!ParseNumber(value, 10, 100000, number) || number == 0) return Bad("1 to 100000");
      plan->m_units = static_cast<int>(number);
    } else if (key == "ports") {
      if (!ParseNumber(value, 10, 256, number) || number == 0) return Bad("1 to 256");
      plan->m_ports = static_cast<int>(number);
    } else if (key == "every" || key == "linger") {
      std::chrono::nanoseconds duration{};
      if (!ParseDuration(value, duration)) {
        return Bad("a whole number with unit ns, us, ms or s, at most 10 s (e.g. 200ms)");
      }
      (key == "every" ? plan->m_every : plan->m_linger) = duration;
    } else {
      *error = Quoted(pair) + ": unknown key " + Quoted(key) +
               " (known: vid, pid, mode, paged, ready-after, probe, latency, fail-send, "
               "fail-fetch, corrupt, vanish-after, deny-open, image, units, ports, every, "
               "linger)";
      return false;
    }
  }
  return true;
}

}  // namespace

std::string SimEepromFileName(std::size_t index) {
  return "sim-" + std::to_string(index) + ".eeprom";
}

std::optional<SimSpec> ParseSimSpec(std::string_view text, std::string* error) {
  std::string reason;
  SimSpec spec;
  bool anyItem = false;
  for (std::string_view item : Split(text, ';')) {
    if (item.empty()) continue;
    anyItem = true;
    if (item == "default") {
      spec.m_devices.emplace_back();
    } else if (item == "none") {
      // No device: only the items around it count.
    } else if (item.substr(0, 4) == "dir=") {
      const std::string_view dir = Trim(item.substr(4));
      if (dir.empty()) {
        reason = Quoted(item) + ": expected a directory after dir=";
        break;
      }
      spec.m_dir = std::string(dir);
    } else {
      SimDeviceConfig config;
      SimPlugPlan plan;
      plan.m_units = 0;
      if (!ParseDevice(item, config, &plan, &reason)) break;
      if (plan.m_units > 0) {
        plan.m_device = std::move(config);
        spec.m_plans.push_back(std::move(plan));
      } else if (plan.m_ports != 1 || plan.m_every != SimPlugPlan{}.m_every ||
                 plan.m_linger != SimPlugPlan{}.m_linger) {
        reason = Quoted(item) + ": ports, every and linger go with units=N";
        break;
      } else {
        spec.m_devices.push_back(std::move(config));
      }
    }
  }
  if (reason.empty() && !anyItem) {
    reason = "empty; give \"default\", \"none\" or device keys such as vid=0495,pid=8041,mode=1";
  }
  if (!reason.empty()) {
    if (error) *error = "--simulate: " + reason;
    return std::nullopt;
  }
  return spec;
}

std::unique_ptr<SimBackend> CreateSimBackend(const SimSpec& spec, std::string* error,
                                             std::shared_ptr<SimClock> clock) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!spec.m_dir.empty() && !fs::is_directory(spec.m_dir, ec)) {
    if (error) *error = "--simulate: dir=" + spec.m_dir + ": no such directory; create it first";
    return nullptr;
  }
  auto backend = std::make_unique<SimBackend>(clock);
  for (std::size_t i = 0; i < spec.m_devices.size(); ++i) {
    SimDeviceConfig config = spec.m_devices[i];
    if (!spec.m_dir.empty()) {
      config.m_eepromFile =
          (fs::path(spec.m_dir) / SimEepromFileName(i)).string();
    }
    auto device = std::make_shared<SimDevice>(std::move(config), clock);
    const std::string loadError = device->LoadError();
    if (!loadError.empty()) {
      if (error) *error = "--simulate: " + loadError;
      return nullptr;
    }
    backend->AddDevice(std::move(device), /*plugInAgain=*/false);
  }
  for (const SimPlugPlan& plan : spec.m_plans) {
    if (!plan.m_device.m_imageFile.empty()) {
      // Each unit loads it again; a bad file is better told now, once.
      SimDevice probe(plan.m_device);
      if (!probe.LoadError().empty()) {
        if (error) *error = "--simulate: " + probe.LoadError();
        return nullptr;
      }
    }
    backend->StartPlugging(plan, spec.m_dir);
  }
  return backend;
}

}  // namespace tessarin
