#include "sim/sim_plugger.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <utility>

namespace tessarin {

struct SimPlugger::PortState {
  std::shared_ptr<SimDevice> m_device;  // null: the port is free
  std::string m_path;
  long m_transfers = 0;
  std::chrono::nanoseconds m_lastActivity{0};
};

SimPlugger::SimPlugger(SimBackend& backend, SimPlugPlan plan, std::vector<std::string> ports,
                       std::string dir, int firstUnit, std::shared_ptr<SimClock> clock)
    : m_backend(backend),
      m_plan(std::move(plan)),
      m_ports(std::move(ports)),
      m_dir(std::move(dir)),
      m_firstUnit(firstUnit),
      m_deviceClock(clock),
      m_clock(clock ? std::move(clock) : RealClock()),
      m_portStates(m_ports.size()) {
  // The first unit is there from the start, as on a bench where the program
  // is started with a device plugged in.
  PlugNext(m_clock->Now());
  m_thread = std::thread([this] { Run(); });
}

SimPlugger::~SimPlugger() {
  m_stop.store(true);
  m_thread.join();
}

void SimPlugger::Run() {
  std::vector<PortState>& ports = m_portStates;
  for (;;) {
    if (m_stop.load()) return;
    m_clock->Pause(kTick);
    if (m_stop.load()) return;
    const std::chrono::nanoseconds now = m_clock->Now();
    for (PortState& port : ports) {
      if (!port.m_device) continue;
      const long transfers = port.m_device->Sends() + port.m_device->Fetches();
      if (transfers != port.m_transfers) {
        port.m_transfers = transfers;
        port.m_lastActivity = now;
      }
      // A device nobody has talked to yet waits longer: the program may be
      // busy elsewhere (a slow store), and an operator waits for a result.
      const auto linger =
          port.m_transfers == 0 ? kUntouchedFactor * m_plan.m_linger : m_plan.m_linger;
      if (port.m_device->Vanished() || now - port.m_lastActivity >= linger) {
        m_backend.RemoveDevice(port.m_path);
        port = PortState{};
      }
    }
    if (now >= m_nextPlug) PlugNext(now);
    const bool anyPlugged = std::any_of(ports.begin(), ports.end(),
                                        [](const PortState& port) { return port.m_device; });
    if (m_plugged == m_plan.m_units && !anyPlugged) {
      m_done.store(true);
      return;
    }
  }
}

void SimPlugger::PlugNext(std::chrono::nanoseconds now) {
  if (m_plugged >= m_plan.m_units) return;
  for (std::size_t i = 0; i < m_portStates.size(); ++i) {
    PortState& port = m_portStates[i];
    if (port.m_device) continue;
    SimDeviceConfig config = m_plan.m_device;
    if (!m_dir.empty()) {
      const int unit = m_firstUnit + m_plugged;
      config.m_eepromFile =
          (std::filesystem::path(m_dir) / ("unit-" + std::to_string(unit) + ".eeprom")).string();
    }
    auto device = std::make_shared<SimDevice>(std::move(config), m_deviceClock);
    port.m_device = device;
    port.m_lastActivity = now;
    port.m_transfers = 0;
    // A new device each time: a vanishing its configuration plans
    // (vanish-after=0 included) is kept, not undone as for a device plugged in again.
    port.m_path = m_backend.AddDevice(std::move(device), m_ports[i], /*plugInAgain=*/false);
    ++m_plugged;
    m_nextPlug = now + m_plan.m_every;
    return;
  }
}

}  // namespace tessarin
