#include "sim/sim_clock.h"

#include <thread>

namespace tessarin {

void RealSimClock::Sleep(std::chrono::nanoseconds duration) {
  if (duration.count() <= 0) return;
  // A short sleep_for overshoots by tens of microseconds, which adds up to
  // tens of percent over a burn of thousands of 170 us transfers: sleep
  // until shortly before the deadline, then wait out the rest actively.
  // The active wait gives the processor away at each look, so that several
  // devices waiting at once (a station's slots) share the cores instead of
  // taking turns on them.
  constexpr std::chrono::microseconds kSpinTail{150};
  const auto deadline = std::chrono::steady_clock::now() + duration;
  if (duration > kSpinTail) std::this_thread::sleep_until(deadline - kSpinTail);
  while (std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

void RealSimClock::Pause(std::chrono::nanoseconds duration) {
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
