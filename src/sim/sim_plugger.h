// Plugs the devices of a plan into a simulated backend and unplugs them, on a
// thread of its own, the way an operator at a bench does.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_backend.h"
#include "sim/sim_clock.h"

namespace tessarin {

class SimPlugger {
 public:
  /// Starts at once: the plan's first unit is plugged in before the
  /// constructor returns (a program that looks once at the start, as
  /// `station --once` does, finds it), the others one every m_every on a
  /// thread of the plugger's own. `backend` must outlive the plugger (it owns
  /// it). The plan's times pass on `clock` (null: the real one): the plugger
  /// looks at its ports every kTick of it, so on a FakeSimClock the whole plan
  /// runs through without waiting. The devices get `clock` as it is given
  /// (null: no latency).
  SimPlugger(SimBackend& backend, SimPlugPlan plan, std::vector<std::string> ports, std::string dir,
             int firstUnit, std::shared_ptr<SimClock> clock);
  /// Stops plugging (within one look at the ports); devices still plugged in stay.
  ~SimPlugger();
  SimPlugger(const SimPlugger&) = delete;
  SimPlugger& operator=(const SimPlugger&) = delete;

  /// Every unit plugged and unplugged again.
  bool Done() const { return m_done.load(); }

  /// How often the plugger looks at its ports: far below any linger worth giving.
  static constexpr std::chrono::milliseconds kTick{2};
  /// A device nobody has talked to yet lingers this many times as long.
  static constexpr int kUntouchedFactor = 20;

 private:
  struct PortState;
  void Run();
  /// Plugs the next unit into the first free port, if one is free.
  void PlugNext(std::chrono::nanoseconds now);

  SimBackend& m_backend;
  SimPlugPlan m_plan;
  std::vector<std::string> m_ports;
  std::string m_dir;
  int m_firstUnit;
  std::shared_ptr<SimClock> m_deviceClock;
  std::shared_ptr<SimClock> m_clock;  // never null
  // The constructor's, then the thread's alone.
  std::vector<PortState> m_portStates;
  int m_plugged = 0;
  std::chrono::nanoseconds m_nextPlug{0};
  std::atomic<bool> m_done{false};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace tessarin
