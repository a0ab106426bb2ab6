// A whole 32 KB burn on the simulated device: the worker's own cost with
// instant transfers, and the total time with a modelled 170 us per transfer.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
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
  std::vector<std::uint8_t> image(EEPROM_BYTES);
  std::mt19937 random(1);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  image[0] = 0x41;
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
}

/// One device on a simulated backend, opened, with a worker.
struct Bench {
  Bench(bool paged, std::shared_ptr<SimClock> clock, std::chrono::nanoseconds latency,
        BurnSleep sleep)
      : backend(std::move(clock)) {
    SimDeviceConfig config;
    config.m_pagedWrite = paged;
    config.m_latency = latency;
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

/// (b) 170 us per transfer on the simulator's real clock and the real 20 ms
/// sleeps: the wall time against transfers x 170 us + 60 ms.
void BM_BurnLatency(benchmark::State& state) {
  const bool paged = state.range(0) != 0;
  constexpr auto kLatency = std::chrono::microseconds(170);
  Bench bench(paged, RealClock(), kLatency, {});
  const auto image = FullImage();
  long transfers = 0, burns = 0;
  double seconds = 0;
  for (auto _ : state) {
    const long before = bench.Transfers();
    const auto start = std::chrono::steady_clock::now();
    if (bench.worker->RunSynchronously({image, u""}) != 1) state.SkipWithError("burn failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    transfers += bench.Transfers() - before;
    ++burns;
  }
  Report(state, transfers, burns);
  const double perBurn = static_cast<double>(transfers) / static_cast<double>(burns);
  const double model = perBurn * 170e-6 + 0.060;
  state.counters["model_ms"] = model * 1e3;
  state.counters["over_model_pct"] = (seconds / static_cast<double>(burns) / model - 1.0) * 100.0;
}
BENCHMARK(BM_BurnLatency)
    ->ArgName("paged")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

/// What one simulated 170 us transfer delay really takes on this machine.
void BM_RealClockSleep170us(benchmark::State& state) {
  const auto clock = RealClock();
  for (auto _ : state) clock->Sleep(std::chrono::microseconds(170));
}
BENCHMARK(BM_RealClockSleep170us)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
