#include "sim/sim_clock.h"

#include <thread>

namespace tessarin {

void RealSimClock::Sleep(std::chrono::nanoseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

std::chrono::nanoseconds RealSimClock::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

std::shared_ptr<SimClock> RealClock() {
  static const std::shared_ptr<SimClock> clock = std::make_shared<RealSimClock>();
  return clock;
}

}  // namespace tessarin
