#include "sim/sim_spec.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

#include "hid/device_id.h"
#include "sim/sim_plugger.h"

namespace tessarin {

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

// A count from 1 to `max`.
bool ParseCount(std::string_view text, unsigned long long max, int& count) {
  unsigned long long number = 0;
  if (!ParseNumber(text, 10, max, number) || number == 0) return false;
  count = static_cast<int>(number);
  return true;
}

// A transfer number from 1, added to `ordinals`.
bool ParseOrdinal(std::string_view text, std::set<long>& ordinals) {
  unsigned long long number = 0;
  if (!ParseNumber(text, 10, 1000000000, number) || number == 0) return false;
  ordinals.insert(static_cast<long>(number));
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

std::string Milliseconds(std::chrono::nanoseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
         "ms";
}

void SetReportLengths(SimDeviceConfig& config, std::uint16_t output, std::uint16_t feature) {
  config.m_outputReportByteLength = output;
  config.m_inputReportByteLength = output;
  config.m_featureReportByteLength = feature;
}

enum class KeyKind {
  kOnce,      ///< a device key, given at most once per item
  kRepeated,  ///< a device key that may be given again
  kPlug,      ///< a plug key, of an item with units=N
};

/// One key of a device item: how its value is read and how the help shows it.
struct SpecKey {
  const char* m_name;
  const char* m_value;  ///< the value's form in the help ("HEX")
  std::string m_help;   ///< lines after the first indented by the help
  std::string m_expected;
  KeyKind m_kind = KeyKind::kOnce;
  /// Takes the value into the item; false when the key does not take it.
  bool (*m_parse)(std::string_view value, SimDeviceConfig& config, SimPlugPlan& plan) = nullptr;
};

// Every key, in the order the help and the "unknown key" message list them.
const std::vector<SpecKey>& SpecKeys() {
  static const std::vector<SpecKey> keys = [] {
    using Config = SimDeviceConfig;
    using Plan = SimPlugPlan;
    const std::string frame = std::to_string(REPORT_LENGTH);
    const std::string time = "a whole number with unit ns, us, ms or s, at most 10 s";
    std::vector<SpecKey> k;
    k.push_back({"vid", "HEX",
                 "vendor id, 1 to 4 hex digits (default " + Hex4(kSimDefaultVendorId) + ")",
                 "1 to 4 hex digits", KeyKind::kOnce,
                 [](std::string_view v, Config& c, Plan&) { return ParseHexId(v, c.m_vendorId); }});
    k.push_back({"pid", "HEX", "product id (default " + Hex4(kSimDefaultProductId) + ")",
                 "1 to 4 hex digits", KeyKind::kOnce, [](std::string_view v, Config& c, Plan&) {
                   return ParseHexId(v, c.m_productId);
                 }});
    k.push_back({"mode", "1|2|none",
                 "1: " + frame + "-byte output and input reports; 2: " + frame +
                     "-byte feature\nreport only; none: " + std::to_string(REPORT_LENGTH - 1) +
                     "-byte reports, not usable (default 1)",
                 "1, 2 or none", KeyKind::kOnce, [](std::string_view v, Config& c, Plan&) {
                   if (v == "1") {
                     SetReportLengths(c, REPORT_LENGTH, 0);
                   } else if (v == "2") {
                     SetReportLengths(c, 0, REPORT_LENGTH);
                   } else if (v == "none") {
                     SetReportLengths(c, REPORT_LENGTH - 1, REPORT_LENGTH - 1);
                   } else {
                     return false;
                   }
                   return true;
                 }});
    k.push_back({"paged", "0|1", "answers the paged-write query with yes (default 0)", "0 or 1",
                 KeyKind::kOnce, [](std::string_view v, Config& c, Plan&) {
                   return ParseFlag(v, c.m_pagedWrite);
                 }});
    k.push_back({"ready-after", "N|never",
                 "ready queries answering \"busy\" after each write (default 0)",
                 "a number up to 1000000 or \"never\"", KeyKind::kOnce,
                 [](std::string_view v, Config& c, Plan&) {
                   unsigned long long number = 0;
                   if (v == "never") {
                     c.m_readyAfter = SimDeviceConfig::kReadyNever;
                   } else if (ParseNumber(v, 10, 1000000, number)) {
                     c.m_readyAfter = static_cast<int>(number);
                   } else {
                     return false;
                   }
                   return true;
                 }});
    k.push_back(
        {"probe", "0|1", "answers the probe (default 1)", "0 or 1", KeyKind::kOnce,
         [](std::string_view v, Config& c, Plan&) { return ParseFlag(v, c.m_answersProbe); }});
    k.push_back(
        {"latency", "TIME", "time per transfer: a number with unit ns, us, ms or s (default 0)",
         time + " (e.g. 170us)", KeyKind::kOnce,
         [](std::string_view v, Config& c, Plan&) { return ParseDuration(v, c.m_latency); }});
    k.push_back(
        {"fail-send", "K", "the K-th send (from 1) fails; may be repeated",
         "a transfer number from 1", KeyKind::kRepeated,
         [](std::string_view v, Config& c, Plan&) { return ParseOrdinal(v, c.m_failSends); }});
    k.push_back(
        {"fail-fetch", "K", "the K-th fetch (from 1) fails; may be repeated",
         "a transfer number from 1", KeyKind::kRepeated,
         [](std::string_view v, Config& c, Plan&) { return ParseOrdinal(v, c.m_failFetches); }});
    k.push_back({"corrupt", "ADDR",
                 "the EEPROM byte at ADDR (hex with 0x, or decimal) reads back\ninverted; may be "
                 "repeated",
                 "an address from 0 to 0xFFFF (0x for hex)", KeyKind::kRepeated,
                 [](std::string_view v, Config& c, Plan&) {
                   std::uint32_t address = 0;
                   if (!ParseAddress(v, address)) return false;
                   c.m_corruptAddresses.insert(address & (EEPROM_BYTES - 1));
                   return true;
                 }});
    k.push_back({"vanish-after", "K", "the device is unplugged after K transfers (0: at once)",
                 "a number of transfers", KeyKind::kOnce, [](std::string_view v, Config& c, Plan&) {
                   unsigned long long number = 0;
                   if (!ParseNumber(v, 10, 1000000000, number)) return false;
                   c.m_vanishAfterFrames = static_cast<long>(number);
                   return true;
                 }});
    k.push_back({"deny-open", "0|1", "opening the device fails with \"Permission denied\"",
                 "0 or 1", KeyKind::kOnce,
                 [](std::string_view v, Config& c, Plan&) { return ParseFlag(v, c.m_denyOpen); }});
    k.push_back({"image", "FILE",
                 "initial EEPROM contents (at most " + std::to_string(EEPROM_BYTES) +
                     " bytes); a file kept by\ndir= takes precedence once it exists",
                 "a file name", KeyKind::kOnce, [](std::string_view v, Config& c, Plan&) {
                   if (v.empty()) return false;
                   c.m_imageFile = std::string(v);
                   return true;
                 }});
    k.push_back(
        {"units", "N", "how many devices (1 to 100000)", "1 to 100000", KeyKind::kPlug,
         [](std::string_view v, Config&, Plan& p) { return ParseCount(v, 100000, p.m_units); }});
    k.push_back({"ports", "M",
                 "into how many ports, \"port-1\" ... \"port-M\", numbered on over\nthe items "
                 "(default 1); a device goes into the next free port",
                 "1 to 256", KeyKind::kPlug, [](std::string_view v, Config&, Plan& p) {
                   return ParseCount(v, 256, p.m_ports);
                 }});
    k.push_back({"every", "TIME",
                 "the pause between two plugs (default " + Milliseconds(Plan{}.m_every) + ")",
                 time + " (e.g. 200ms)", KeyKind::kPlug,
                 [](std::string_view v, Config&, Plan& p) { return ParseDuration(v, p.m_every); }});
    k.push_back(
        {"linger", "TIME",
         "a device is unplugged after this long without a transfer\n(default " +
             Milliseconds(Plan{}.m_linger) + "; " + std::to_string(SimPlugger::kUntouchedFactor) +
             " times as long before its first transfer),\nor at once when it vanished "
             "(vanish-after=K)",
         time + " (e.g. 200ms)", KeyKind::kPlug,
         [](std::string_view v, Config&, Plan& p) { return ParseDuration(v, p.m_linger); }});
    return k;
  }();
  return keys;
}

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
    const std::vector<SpecKey>& keys = SpecKeys();
    const auto spec =
        std::find_if(keys.begin(), keys.end(), [&](const SpecKey& k) { return key == k.m_name; });
    if (spec == keys.end()) {
      std::string known;
      for (const SpecKey& k : keys) known += (known.empty() ? "" : ", ") + std::string(k.m_name);
      *error = Quoted(pair) + ": unknown key " + Quoted(key) + " (known: " + known + ")";
      return false;
    }
    if (spec->m_kind != KeyKind::kRepeated && !seen.insert(key).second) {
      *error = Quoted(pair) + ": " + Quoted(key) + " is given twice for one device; give it once";
      return false;
    }
    if (!spec->m_parse(value, config, *plan)) {
      *error = Quoted(pair) + ": expected " + spec->m_expected;
      return false;
    }
  }
  return true;
}

// "  NAME=VALUE       help", the help's further lines under its first.
std::string HelpEntry(const std::string& term, const std::string& help) {
  constexpr std::size_t kColumn = 17;
  std::string text = "  " + term;
  text += term.size() < kColumn ? std::string(kColumn - term.size(), ' ') : std::string(3, ' ');
  for (const char c : help) {
    text += c;
    if (c == '\n') text += std::string(2 + kColumn, ' ');
  }
  return text + "\n";
}

std::string KeysHelp(bool plug) {
  std::string text;
  for (const SpecKey& k : SpecKeys()) {
    if ((k.m_kind == KeyKind::kPlug) == plug)
      text += HelpEntry(std::string(k.m_name) + "=" + k.m_value, k.m_help);
  }
  return text;
}

}  // namespace

const std::string& SimSpecHelp() {
  static const std::string help =
      "--simulate SPEC: simulated devices instead of the real ones.\n"
      "  SPEC     := ITEM { ';' ITEM }\n"
      "  ITEM     := 'default' | 'none' | 'dir=' PATH | DEVICE\n"
      "  DEVICE   := KEY '=' VALUE { ',' KEY '=' VALUE }\n"
      "\n" +
      HelpEntry("default", "one Kestrova device: vid=" + Hex4(kSimDefaultVendorId) +
                               ",pid=" + Hex4(kSimDefaultProductId) + ",mode=1") +
      HelpEntry("none", "no device at all (the spec may not be empty otherwise)") +
      HelpEntry("dir=PATH",
                "keep each device's EEPROM in PATH/sim-<n>.eeprom (n = 0, 1, ...\n"
                "in the order the devices are given), so a burn survives from\n"
                "one run to the next; the directory must exist") +
      "\n"
      "  Device keys (each optional; a device given by keys starts from `default`):\n" +
      KeysHelp(false) +
      "\n"
      "  Plugging devices in and out while the program runs (for `station`): an item\n"
      "  with units=N stands for N such devices that an operator plugs in one after\n"
      "  the other and unplugs again once each has been idle for a moment. The first\n"
      "  is plugged in as the program starts, so a command that looks once finds it\n"
      "  (tessarin-uhid does not play these items).\n" +
      KeysHelp(true) +
      "  With dir=PATH, unit u keeps its EEPROM in PATH/unit-<u>.eeprom.\n"
      "\n"
      "  Blanks around items, keys and values are ignored.\n"
      "  Examples:\n"
      "    default\n"
      "    vid=0495,pid=8041,mode=2,paged=1,ready-after=3,latency=170us\n"
      "    dir=/tmp/kestrova;default;pid=8042,mode=2\n"
      "    units=8,ports=4,latency=170us,every=100ms\n";
  return help;
}

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
      config.m_eepromFile = (fs::path(spec.m_dir) / SimEepromFileName(i)).string();
    }
    auto device = std::make_shared<SimDevice>(std::move(config), clock);
    const std::string loadError = device->LoadError();
    if (!loadError.empty()) {
      if (error) *error = "--simulate: " + loadError;
      return nullptr;
    }
    backend->AddDevice(std::move(device), /*port=*/{}, /*plugInAgain=*/false);
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
