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
#include "burn/burn_worker.h"
#include "hid/hid_device_manager.h"
#include "image/rom_image.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "station/sqlite_record_store.h"
#include "station/station.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
constexpr auto kLatency = std::chrono::microseconds(170);

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

class Quiet : public StationEvents {
 public:
  void OnEvent(const StationEvent& event) override {
    if (event.m_kind == StationEventKind::kFinished && event.m_outcome == kOutcomePassed) ++passed;
  }
  int passed = 0;
};

class NullSink : public BurnStatusSink {
 public:
  void PostStatus(unsigned, long) override {}
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
    fs::remove(db);
    fs::remove(db.string() + "-wal");
    fs::remove(db.string() + "-shm");
    std::string error;
    auto store = SqliteRecordStore::Open(db.string(), &error);
    store->BeginSession("bench", nullptr, &error);
    SimBackend backend(RealClock());
    for (int i = 0; i < units; ++i) {
      SimDeviceConfig config;
      config.m_latency = kLatency;
      auto device = std::make_shared<SimDevice>(config, RealClock());
      device->SetLogging(false);
      backend.AddDevice(device, /*plugInAgain=*/true, "port-" + std::to_string(i + 1));
    }
    StationConfig config;
    config.m_image = image;
    config.m_imagePath = "bench.rom";
    config.m_serials = MakeFormatSeries("B-{:06}", 1, &error);
    config.m_maxUnits = units;
    Quiet events;
    Station station(backend, *store, config, events);
    state.ResumeTiming();
    const double before = CpuSeconds();
    if (!station.Run(nullptr, &error) || events.passed != units) state.SkipWithError("burn failed");
    cpu += CpuSeconds() - before;
    ++runs;
  }
  state.counters["cpu_ms_per_unit"] = cpu * 1000 / static_cast<double>(runs * units);
  fs::remove(db);
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
  flags.m_deviceOpen = 1;
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
