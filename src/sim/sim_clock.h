// The time source of simulated transfer latency: real sleeps for the demo,
// virtual time for tests and benchmarks, so nothing ever waits in a test.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

namespace tessarin {

class SimClock {
 public:
  virtual ~SimClock() = default;
  /// Lets `duration` pass. Any thread.
  virtual void Sleep(std::chrono::nanoseconds duration) = 0;
  /// Lets at least about `duration` pass where precision does not matter (the
  /// pause of a polling loop). Any thread.
  virtual void Pause(std::chrono::nanoseconds duration) { Sleep(duration); }
  /// Time since an arbitrary start.
  virtual std::chrono::nanoseconds Now() const = 0;
};

/// Sleeps for real (steady clock).
class RealSimClock : public SimClock {
 public:
  void Sleep(std::chrono::nanoseconds duration) override;
  /// A plain sleep, without the busy wait that makes Sleep() precise.
  void Pause(std::chrono::nanoseconds duration) override;
  std::chrono::nanoseconds Now() const override;
};

/// Never sleeps: every Sleep() only adds its duration to a virtual time.
class FakeSimClock : public SimClock {
 public:
  void Sleep(std::chrono::nanoseconds duration) override { m_now += duration.count(); }
  std::chrono::nanoseconds Now() const override { return std::chrono::nanoseconds(m_now.load()); }

 private:
  std::atomic<std::chrono::nanoseconds::rep> m_now{0};
};

/// A shared real clock.
std::shared_ptr<SimClock> RealClock();

}  // namespace tessarin
