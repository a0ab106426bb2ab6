// tessarin-uhid: simulated devices on the real Linux HID stack. Each device
// of SPEC (the --simulate syntax) becomes a HID device through /dev/uhid, so
// the kernel gives it a /dev/hidrawN that the programs, run without
// --simulate, find and burn like hardware; the simulated device answers.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "hid/device_id.h"
#include "hid/protocol.h"
#include "platform/hid_platform.h"
#include "platform/linux/uhid_device.h"
#include "sim/sim_clock.h"
#include "sim/sim_device.h"
#include "sim/sim_spec.h"
#include "uhid/sim_responder.h"

namespace tessarin {
namespace {

const char kUsage[] = R"(Usage: tessarin-uhid [--verbose] SPEC
Plays the simulated devices of SPEC on the real HID stack: each becomes a HID
device through /dev/uhid (bus USB, the vendor and product of the spec), with a
report descriptor of the spec's report lengths, and its /dev/hidrawN is found
by tessarin and tessarin-cli like a plugged-in device. One line per device
goes to standard output ("sim:N /dev/hidrawM VVVV:PPPP"), then "ready".
A device whose vanish-after count is reached is unplugged; SIGINT or SIGTERM
unplugs every device and ends the program, which also ends when no device is
left. EEPROMs kept with dir= hold each write in their files at once, as a
device's EEPROM does. --verbose prints each request a device
receives ("sim:0 request 15 00 04 02": command and operand bytes) to standard
error.

Needs write access to /dev/uhid (the uhid kernel module): root, or a udev
rule for /dev/uhid. The kernel keeps at most 32 events per device and drops
output reports beyond them: if `dmesg` shows "Output queue is full" during a
burn, run the bridge at a real-time priority (chrt -f 10 tessarin-uhid ...).
deny-open and enumeration errors are not played: on a real HID stack the
kernel and the node's permissions decide those. Nor are units=N items (the
plug plans of tessarin-cli's station): a SPEC with one is refused.

)";

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }

struct Played {
  std::string m_name;  ///< sim:N
  std::string m_node;
  std::unique_ptr<SimResponder> m_responder;
  std::unique_ptr<UhidDevice> m_uhid;
};

std::string UniqueToken() {
  std::random_device random;
  char text[32];
  std::snprintf(text, sizeof text, "%08x%08x", random(), random());
  return text;
}

int Run(const std::string& specText, bool verbose) {
  std::string error;
  std::optional<SimSpec> spec = ParseSimSpec(specText, &error);
  if (!spec) {
    std::cerr << "tessarin-uhid: " << error << "\n";
    return 2;
  }
  if (!spec->m_plans.empty()) {
    std::cerr << "tessarin-uhid: units=N items (devices plugged in and out over time) are "
                 "for tessarin-cli's station and are not played on the HID stack; give device "
                 "items such as \"default\" or vid=0495,pid=8041\n";
    return 2;
  }
  if (spec->m_devices.empty()) {
    std::cerr << "tessarin-uhid: the spec has no device to play\n";
    return 2;
  }
  // The devices are made the way --simulate makes them (EEPROM files under
  // dir=, image=, latency on the real clock), then put on the HID stack.
  std::unique_ptr<SimBackend> sims = CreateSimBackend(*spec, &error, RealClock());
  if (!sims) {
    std::cerr << "tessarin-uhid: " << error << "\n";
    return 2;
  }

  const std::string token = UniqueToken();
  std::vector<Played> played;
  for (auto& [path, device] : sims->Devices()) {
    const SimDeviceConfig& c = device->Config();
    if (c.m_denyOpen || !c.m_enumerateError.empty()) {
      std::cerr << "tessarin-uhid: " << path
                << ": deny-open is not played on a real HID stack (the node's permissions "
                   "decide)\n";
    }
    Played p;
    p.m_name = path;
    const UhidDeviceSpec u =
        UhidSpecFor(c, "Tessarin simulated device " + path, "tessarin-" + token + "-" + path);
    p.m_uhid = UhidDevice::Create(u, &error);
    if (!p.m_uhid) {
      std::cerr << "tessarin-uhid: " << path << ": " << error << "\n";
      return 1;
    }
    p.m_node = p.m_uhid->WaitForHidrawNode(std::chrono::seconds(10));
    if (p.m_node.empty()) {
      std::cerr << "tessarin-uhid: " << path
                << ": the kernel made no hidraw node within 10 s (is the hidraw support of the "
                   "kernel's HID core enabled?)\n";
      return 1;
    }
    // A bridge may run for hours: no frame log growing without end.
    device->SetLogging(false);
    p.m_responder = std::make_unique<SimResponder>(device);
    if (verbose) {
      p.m_responder->SetRequestLog(
          // One write per line: the devices log from threads of their own.
          [name = path](const std::string& line) { std::cerr << (name + " " + line + "\n"); });
    }
    std::cout << path << " " << p.m_node << " " << FormatDeviceId(c.m_vendorId, c.m_productId)
              << std::endl;
    played.push_back(std::move(p));
  }
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::cout << "ready" << std::endl;

  // One thread per device, as each device answers on its own; this thread
  // waits for the signal or for every device to be gone.
  std::atomic<bool> stop{false};
  std::atomic<int> status{0};
  std::atomic<int> running{static_cast<int>(played.size())};
  std::mutex outputGuard;
  std::vector<std::thread> servers;
  for (Played& p : played) {
    servers.emplace_back([&, pp = &p] {
      std::string err;
      while (!stop) {
        if (!pp->m_uhid->Serve(*pp->m_responder, std::chrono::milliseconds(100), &err)) {
          std::lock_guard lock(outputGuard);
          std::cerr << "tessarin-uhid: " << pp->m_name << ": " << err << "\n";
          status = 1;
          break;
        }
        if (pp->m_responder->Device().Vanished()) {
          pp->m_uhid->Destroy();
          std::lock_guard lock(outputGuard);
          std::cout << pp->m_name << " " << pp->m_node << " unplugged (vanish-after)" << std::endl;
          break;
        }
      }
      --running;
    });
  }
  while (!g_stop && running > 0 && status == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop = true;
  for (std::thread& t : servers) t.join();
  for (Played& p : played) {
    p.m_uhid->Destroy();
  }
  return status;
}

}  // namespace
}  // namespace tessarin

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool verbose = !args.empty() && args.front() == "--verbose";
  if (verbose) args.erase(args.begin());
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << tessarin::kUsage << tessarin::SimSpecHelp();
    return 0;
  }
  if (args.size() != 1) {
    std::cerr << tessarin::kUsage << tessarin::SimSpecHelp();
    return 2;
  }
  return tessarin::Run(args[0], verbose);
}
