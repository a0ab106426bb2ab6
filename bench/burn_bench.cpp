// A whole 32 KB burn on the simulated device: the worker's own cost with
// instant transfers, and the total time with a modelled 170 us per transfer.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "burn/burn_worker.h"
#include "hid/hid_device_manager.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "sim/sim_device.h"

namespace tessarin {
namespace {

class NullSink : public BurnStatusSink {
 public:
  void PostStatus(unsigned code, long) override { last = code; }
  void ShowStopNotice(const std::string&, const std::string&) override {}
  unsigned last = 0;
};

std::shared_ptr<const std::vector<std::uint8_t>> FullImage() {
  std::vector<std::uint8_t> image(SIM_EEPROM_BYTES);
  std::mt19937 random(1);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  image[0] = 0x41;
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
}

/// A real-time clock that does not overshoot: the OS sleep ends a millisecond
/// early and the rest is spun, so each transfer takes its latency and not the
/// latency plus the scheduler's wake-up delay (about 70 us for a 170 us sleep
/// on a Linux VM: 50 us of timer slack and the wake-up itself).
class SpinTailClock : public SimClock {
 public:
  void Sleep(std::chrono::nanoseconds duration) override {
    const auto end = std::chrono::steady_clock::now() + duration;
    constexpr auto kTail = std::chrono::milliseconds(1);
    if (duration > kTail) std::this_thread::sleep_for(duration - kTail);
    while (std::chrono::steady_clock::now() < end) {
    }
  }
  std::chrono::nanoseconds Now() const override {
    return std::chrono::steady_clock::now().time_since_epoch();
  }
};

/// One device on a simulated backend, opened, with a worker.
struct Bench {
  Bench(bool paged, std::shared_ptr<SimClock> clock, std::chrono::nanoseconds latency,
        BurnSleep sleep)
      : backend(std::move(clock)) {
    SimDeviceConfig config;
    config.pagedWrite = paged;
    config.latency = latency;
    device = backend.Device(backend.AddDevice(config));
    device->SetLogging(false);
    hid.Open(hid.Scan());
    flags.m_deviceOpen = 1;
    worker = std::make_unique<BurnWorker>(hid, flags, sink, std::move(sleep));
  }
  long Transfers() const { return device->Sends() + device->Fetches(); }

  SimBackend backend;
  std::shared_ptr<SimDevice> device;
  HidDeviceManager hid{backend};
  BurnFlags flags;
  NullSink sink;
  std::unique_ptr<BurnWorker> worker;
};

void Report(benchmark::State& state, long transfers, long burns) {
  state.counters["transfers"] = static_cast<double>(transfers) / static_cast<double>(burns);
}

/// (a) Zero latency, instant sleeps: the CPU the worker, the manager and the
/// simulated device spend on one burn.
void BM_BurnInstant(benchmark::State& state) {
  const bool paged = state.range(0) != 0;
  Bench bench(paged, nullptr, std::chrono::nanoseconds(0), [](std::chrono::milliseconds) {});
  const auto image = FullImage();
  long transfers = 0, burns = 0;
  for (auto _ : state) {
    const long before = bench.Transfers();
    if (bench.worker->RunSynchronously({image, u""}) != 1) state.SkipWithError("burn failed");
    transfers += bench.Transfers() - before;
    ++burns;
  }
  Report(state, transfers, burns);
}
BENCHMARK(BM_BurnInstant)->ArgName("paged")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

/// (b) 170 us per transfer and the real 20 ms sleeps: the wall time against
/// transfers x 170 us + 60 ms. Clock 0 is the simulator's real clock (one OS
/// sleep per transfer); clock 1 sleeps exactly, which leaves only the burn's
/// own overhead above the model.
void BM_BurnLatency(benchmark::State& state) {
  const bool paged = state.range(0) != 0;
  constexpr auto kLatency = std::chrono::microseconds(170);
  std::shared_ptr<SimClock> clock = RealClock();
  if (state.range(1) != 0) clock = std::make_shared<SpinTailClock>();
  Bench bench(paged, clock, kLatency, {});
  const auto image = FullImage();
  long transfers = 0, burns = 0;
  double seconds = 0, cpuSeconds = 0;
  for (auto _ : state) {
    const long before = bench.Transfers();
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    if (bench.worker->RunSynchronously({image, u""}) != 1) state.SkipWithError("burn failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpuSeconds += static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    transfers += bench.Transfers() - before;
    ++burns;
  }
  Report(state, transfers, burns);
  const double perBurn = static_cast<double>(transfers) / static_cast<double>(burns);
  const double model = perBurn * 170e-6 + 0.060;
  state.counters["model_ms"] = model * 1e3;
  state.counters["over_model_pct"] = (seconds / static_cast<double>(burns) / model - 1.0) * 100.0;
  // On the exact clock the transfers are spun, so CPU time + the three 20 ms
  // sleeps is what the burn would take with the processor to itself: the
  // figure that a busy machine does not blur.
  if (state.range(1) != 0) {
    state.counters["cpu_over_model_pct"] =
        ((cpuSeconds / static_cast<double>(burns) + 0.060) / model - 1.0) * 100.0;
  }
}
BENCHMARK(BM_BurnLatency)
    ->ArgNames({"paged", "exact_clock"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

/// What one OS sleep of 170 us really takes on this machine: the overshoot
/// that clock 0 above adds to every transfer.
void BM_RealClockSleep170us(benchmark::State& state) {
  const auto clock = RealClock();
  for (auto _ : state) clock->Sleep(std::chrono::microseconds(170));
}
BENCHMARK(BM_RealClockSleep170us)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
