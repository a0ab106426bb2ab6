#include "sim/sim_plugger.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

namespace tessarin {

namespace {

using Clock = std::chrono::steady_clock;

// How often the plugger looks at its ports: far below any linger worth giving.
constexpr auto kTick = std::chrono::milliseconds(2);
constexpr int kUntouchedFactor = 20;

struct PortState {
  std::shared_ptr<SimDevice> m_device;  // null: the port is free
  std::string m_path;
  long m_transfers = 0;
  Clock::time_point m_lastActivity;
};

}  // namespace

SimPlugger::SimPlugger(SimBackend& backend, SimPlugPlan plan, std::vector<std::string> ports,
                       std::string dir, int firstUnit, std::shared_ptr<SimClock> clock)
    : m_backend(backend),
      m_plan(std::move(plan)),
      m_ports(std::move(ports)),
      m_dir(std::move(dir)),
      m_firstUnit(firstUnit),
      m_clock(std::move(clock)) {
  m_thread = std::thread([this] { Run(); });
}

SimPlugger::~SimPlugger() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void SimPlugger::Run() {
  std::vector<PortState> ports(m_ports.size());
  int plugged = 0;
  Clock::time_point nextPlug = Clock::now();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_wake.wait_for(lock, kTick, [this] { return m_stop; })) return;
    }
    const Clock::time_point now = Clock::now();
    bool anyPlugged = false;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      PortState& port = ports[i];
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
      } else {
        anyPlugged = true;
      }
    }
    if (plugged < m_plan.m_units && now >= nextPlug) {
      for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].m_device) continue;
        SimDeviceConfig config = m_plan.m_device;
        if (!m_dir.empty()) {
          const int unit = m_firstUnit + plugged;
          config.m_eepromFile =
              (std::filesystem::path(m_dir) / ("unit-" + std::to_string(unit) + ".eeprom"))
                  .string();
        }
        auto device = std::make_shared<SimDevice>(std::move(config), m_clock);
        ports[i].m_device = device;
        ports[i].m_lastActivity = now;
        ports[i].m_transfers = 0;
        ports[i].m_path = m_backend.AddDevice(std::move(device), /*plugInAgain=*/true, m_ports[i]);
        ++plugged;
        anyPlugged = true;
        nextPlug = now + m_plan.m_every;
        break;
      }
    }
    if (plugged == m_plan.m_units && !anyPlugged) {
      m_done.store(true);
      return;
    }
  }
}

}  // namespace tessarin
