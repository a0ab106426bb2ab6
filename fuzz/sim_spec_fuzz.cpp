// Feeds arbitrary text to the --simulate SPEC parser. A SPEC that parses is written back as
// keys and must parse to the very same devices, plug plans and folder; a refused one says why.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>

#include "fuzz_text.h"
#include "hid/protocol.h"
#include "sim/sim_spec.h"

namespace {

using namespace tessarin;

using fuzz::Check;

auto Fields(const SimDeviceConfig& c) {
  return std::tie(c.m_vendorId, c.m_productId, c.m_outputReportByteLength,
                  c.m_inputReportByteLength, c.m_featureReportByteLength, c.m_pagedWrite,
                  c.m_readyAfter, c.m_answersProbe, c.m_latency, c.m_failSends, c.m_failFetches,
                  c.m_corruptAddresses, c.m_vanishAfterFrames, c.m_denyOpen, c.m_imageFile,
                  c.m_eepromFile, c.m_enumerateError);
}

bool Same(const SimDeviceConfig& a, const SimDeviceConfig& b) { return Fields(a) == Fields(b); }

bool Same(const SimPlugPlan& a, const SimPlugPlan& b) {
  return Same(a.m_device, b.m_device) && std::tie(a.m_units, a.m_ports, a.m_every, a.m_linger) ==
                                             std::tie(b.m_units, b.m_ports, b.m_every, b.m_linger);
}

template <typename T>
bool SameList(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!Same(a[i], b[i])) return false;
  }
  return true;
}

std::string Ns(std::chrono::nanoseconds d) { return std::to_string(d.count()) + "ns"; }

// The keys of a device, every one that differs from a fresh device's, in decimal and ns.
std::string DeviceKeys(const SimDeviceConfig& c) {
  const SimDeviceConfig fresh;
  std::string keys;
  const auto add = [&keys](const std::string& key, const std::string& value) {
    keys += (keys.empty() ? "" : ",") + key + "=" + value;
  };
  // The vendor id without 0x and the product id with it: the parser takes both.
  char hex[8];
  if (c.m_vendorId != fresh.m_vendorId) {
    std::snprintf(hex, sizeof hex, "%x", c.m_vendorId);
    add("vid", hex);
  }
  if (c.m_productId != fresh.m_productId) {
    std::snprintf(hex, sizeof hex, "0x%04X", c.m_productId);
    add("pid", hex);
  }
  if (c.m_featureReportByteLength == REPORT_LENGTH) {
    add("mode", "2");
  } else if (c.m_outputReportByteLength != REPORT_LENGTH) {
    add("mode", "none");
  }
  if (c.m_pagedWrite) add("paged", "1");
  if (c.m_readyAfter != 0) {
    add("ready-after",
        c.m_readyAfter == SimDeviceConfig::kReadyNever ? "never" : std::to_string(c.m_readyAfter));
  }
  if (!c.m_answersProbe) add("probe", "0");
  if (c.m_latency != fresh.m_latency) add("latency", Ns(c.m_latency));
  for (long k : c.m_failSends) add("fail-send", std::to_string(k));
  for (long k : c.m_failFetches) add("fail-fetch", std::to_string(k));
  for (std::uint32_t a : c.m_corruptAddresses) add("corrupt", std::to_string(a));
  if (c.m_vanishAfterFrames != fresh.m_vanishAfterFrames)
    add("vanish-after", std::to_string(c.m_vanishAfterFrames));
  if (c.m_denyOpen) add("deny-open", "1");
  if (!c.m_imageFile.empty()) add("image", c.m_imageFile);
  return keys;
}

std::string Format(const SimSpec& spec) {
  std::string text;
  const auto item = [&text](const std::string& it) { text += (text.empty() ? "" : " ; ") + it; };
  if (!spec.m_dir.empty()) item("dir=" + spec.m_dir);
  for (const SimDeviceConfig& c : spec.m_devices) {
    const std::string keys = DeviceKeys(c);
    item(keys.empty() ? "default" : keys);
  }
  for (const SimPlugPlan& p : spec.m_plans) {
    std::string keys = DeviceKeys(p.m_device);
    keys += (keys.empty() ? "" : ",") + std::string("units=") + std::to_string(p.m_units) +
            ",ports=" + std::to_string(p.m_ports) + ",every=" + Ns(p.m_every) +
            ",linger=" + Ns(p.m_linger);
    item(keys);
  }
  if (text.empty()) item("none");
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<SimSpec> spec = ParseSimSpec(text, &error);
  if (!spec) {
    Check(error.rfind("--simulate: ", 0) == 0 && error.size() > 12);
    return 0;
  }
  for (const SimDeviceConfig& c : spec->m_devices) Check(c.m_eepromFile.empty());
  for (const SimPlugPlan& p : spec->m_plans) Check(p.m_units >= 1 && p.m_ports >= 1);

  const std::string written = Format(*spec);
  std::string again_error;
  const std::optional<SimSpec> again = ParseSimSpec(written, &again_error);
  Check(again.has_value());
  Check(again->m_dir == spec->m_dir);
  Check(SameList(again->m_devices, spec->m_devices));
  Check(SameList(again->m_plans, spec->m_plans));
  return 0;
}
