// Plugs the devices of a plan into a simulated backend and unplugs them, on a
// thread of its own, the way an operator at a bench does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_backend.h"

namespace tessarin {

class SimPlugger {
 public:
  /// Starts at once. `backend` must outlive the plugger (it owns it).
  SimPlugger(SimBackend& backend, SimPlugPlan plan, std::vector<std::string> ports, std::string dir,
             int firstUnit, std::shared_ptr<SimClock> clock);
  /// Stops plugging; devices still plugged in stay.
  ~SimPlugger();
  SimPlugger(const SimPlugger&) = delete;
  SimPlugger& operator=(const SimPlugger&) = delete;

  /// Every unit plugged and unplugged again.
  bool Done() const { return m_done.load(); }

 private:
  void Run();

  SimBackend& m_backend;
  SimPlugPlan m_plan;
  std::vector<std::string> m_ports;
  std::string m_dir;
  int m_firstUnit;
  std::shared_ptr<SimClock> m_clock;
  std::atomic<bool> m_done{false};
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace tessarin
