// The station's parallel slots: N simulated devices with 170 us per transfer
// burned at once, against one device alone, by the station and by a plain
// burn. The goals: 8 devices finish within 1.2 x the time of one, and a unit
// costs at most 1.5 x the CPU time of a single burn.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_image.h"
#include "bench_station.h"
#include "burn/burn_worker.h"
#include "hid/hid_device_manager.h"
#include "image/rom_image.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "station/station.h"
#include "store/sqlite_record_store.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
constexpr auto kLatency = std::chrono::microseconds(170);

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

class NullSink : public BurnStatusSink {
 public:
  void PostStatus(BurnStatus, long) override {}
  void ShowStopNotice(const std::string&, const std::string&) override {}
};

/// N devices plugged in at once, burned by the station with serials and
/// records in a real store; wall time per run, process CPU per unit.
void BM_StationParallel(benchmark::State& state) {
  const int units = static_cast<int>(state.range(0));
  const SharedRomImage image = FullImage();
  const fs::path db = fs::temp_directory_path() / "tessarin-station-bench.db";
  double cpu = 0;
  long runs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BenchStation bench = MakeBenchStation(db, units, kLatency, image);
    PassedUnits events;
    Station station(*bench.m_backend, *bench.m_store, bench.m_config, events);
    state.ResumeTiming();
    const double before = CpuSeconds();
    std::string error;
    if (!station.Run(nullptr, &error) || events.m_passed != units)
      state.SkipWithError("burn failed");
    cpu += CpuSeconds() - before;
    ++runs;
  }
  state.counters["cpu_ms_per_unit"] = cpu * 1000 / static_cast<double>(runs * units);
  RemoveBenchStore(db);
}
BENCHMARK(BM_StationParallel)
    ->ArgName("devices")
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5);

/// One plain burn of one device, as `tessarin-cli burn` runs it.
void BM_SingleBurn(benchmark::State& state) {
  const SharedRomImage image = FullImage();
  SimBackend backend(RealClock());
  SimDeviceConfig config;
  config.m_latency = kLatency;
  backend.Device(backend.AddDevice(config))->SetLogging(false);
  HidDeviceManager hid(backend);
  hid.Open(hid.Scan());
  BurnFlags flags;
  flags.m_deviceOpen = true;
  NullSink sink;
  BurnWorker worker(hid, flags, sink);
  double cpu = 0;
  long runs = 0;
  for (auto _ : state) {
    const double before = CpuSeconds();
    if (worker.RunSynchronously({image, u"B-000001"}) != BurnResult::kDone) {
      state.SkipWithError("burn failed");
    }
    cpu += CpuSeconds() - before;
    ++runs;
  }
  state.counters["cpu_ms_per_unit"] = cpu * 1000 / static_cast<double>(runs);
}
BENCHMARK(BM_SingleBurn)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
