// A whole 32 KB burn on the simulated device: the worker's own cost with
// instant transfers, and the total time with a modelled 170 us per transfer;
// and the re-burn of the changed blocks against the whole burn.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "bench_image.h"
#include "burn/burn_worker.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "image/rom_image.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "sim/sim_device.h"

namespace tessarin {
namespace {

class NullSink : public BurnStatusSink {
 public:
  void PostStatus(BurnStatus status, long) override { last = status; }
  void ShowStopNotice(const std::string&, const std::string&) override {}
  BurnStatus last = BurnStatus::BURN_IDLE;
};

/// One device on a simulated backend, opened, with a worker.
struct Bench {
  Bench(bool paged, std::shared_ptr<SimClock> clock, std::chrono::nanoseconds latency,
        BurnSleep sleep, int readyAfter = 0)
      : backend(std::move(clock)) {
    SimDeviceConfig config;
    config.m_pagedWrite = paged;
    config.m_latency = latency;
    config.m_readyAfter = readyAfter;
    device = backend.Device(backend.AddDevice(config));
    device->SetLogging(false);
    hid.Open(hid.Scan());
    flags.m_deviceOpen = true;
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
    if (bench.worker->RunSynchronously({image, u""}) != BurnResult::kDone)
      state.SkipWithError("burn failed");
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
    if (bench.worker->RunSynchronously({image, u""}) != BurnResult::kDone)
      state.SkipWithError("burn failed");
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

/// What the device holds before a re-burn of `image`.
enum ReBurnCase : int {
  kIdentical = 0,   ///< the image burned before (descriptor cleared)
  kOnePage = 1,     ///< that, with the 256 bytes of one page changed
  kEveryBlock = 2,  ///< every byte differs
};

std::vector<std::uint8_t> EepromBefore(ReBurnCase what, const std::vector<std::uint8_t>& image) {
  std::vector<std::uint8_t> eeprom = image;
  eeprom[SERIAL_ADDRESS] = 0xFF;
  eeprom[SERIAL_ADDRESS + 1] = 0xFF;
  if (what == kOnePage) {
    for (std::uint32_t a = 0x4000; a < 0x4000 + EEPROM_PAGE_BYTES; ++a) eeprom[a] ^= 0x5A;
  }
  if (what == kEveryBlock) {
    for (auto& b : eeprom) b ^= 0x5A;
  }
  return eeprom;
}

/// (c) A re-burn of the changed blocks only, its time set from the device's
/// clock: real with 170 us per transfer and the real 20 ms sleeps, or
/// virtual (nothing waits) to model a device whose page writes keep it busy
/// for `ready_after` ready queries. `vs_whole` is its time over that of a
/// whole burn of the same image from the same EEPROM contents, measured
/// first on the same device; `model_vs_whole` the same ratio in the flat model
/// (transfers x 170 us + pauses x 20 ms), which a busy machine cannot blur.
void BM_ReBurn(benchmark::State& state) {
  const bool paged = state.range(0) != 0;
  const auto what = static_cast<ReBurnCase>(state.range(1));
  const bool virtualTime = state.range(2) != 0;
  const int readyAfter = static_cast<int>(state.range(3));
  const std::shared_ptr<SimClock> clock =
      virtualTime ? std::make_shared<FakeSimClock>() : RealClock();
  long sleeps = 0;
  Bench bench(
      paged, clock, std::chrono::microseconds(170),
      [clock, &sleeps](std::chrono::milliseconds pause) {
        ++sleeps;
        clock->Sleep(pause);
      },
      readyAfter);
  const auto image = FullImage();
  const std::vector<std::uint8_t> before = EepromBefore(what, image->ImageData());

  // One burn from `before`: its seconds on the device's clock, its transfers
  // and its settle pauses.
  auto Burn = [&](BurnScope scope, long* transfers, long* pauses) {
    bench.device->SetEeprom(0, before);
    const long startTransfers = bench.Transfers();
    const long startSleeps = sleeps;
    const auto start = clock->Now();
    if (bench.worker->RunSynchronously({image, u"", scope}) != BurnResult::kDone) {
      state.SkipWithError("burn failed");
    }
    *transfers += bench.Transfers() - startTransfers;
    *pauses += sleeps - startSleeps;
    return std::chrono::duration<double>(clock->Now() - start).count();
  };
  // The flat model: 170 us per transfer and 20 ms per pause, nothing else.
  auto Model = [](long transfers, long pauses, long burns) {
    return (static_cast<double>(transfers) * 170e-6 + static_cast<double>(pauses) * 0.020) /
           static_cast<double>(burns);
  };
  constexpr int kWholeBurns = 2;
  double wholeSeconds = 0;
  long wholeTransfers = 0, wholePauses = 0;
  for (int i = 0; i < kWholeBurns; ++i) {
    wholeSeconds += Burn(BurnScope::kWholeImage, &wholeTransfers, &wholePauses);
  }
  wholeSeconds /= kWholeBurns;

  long transfers = 0, pauses = 0, burns = 0;
  double seconds = 0;
  for (auto _ : state) {
    const double one = Burn(BurnScope::kChangedBlocks, &transfers, &pauses);
    state.SetIterationTime(one);
    seconds += one;
    ++burns;
  }
  Report(state, transfers, burns);
  state.counters["whole_ms"] = wholeSeconds * 1e3;
  state.counters["whole_transfers"] = static_cast<double>(wholeTransfers) / kWholeBurns;
  state.counters["vs_whole"] = seconds / static_cast<double>(burns) / wholeSeconds;
  state.counters["model_vs_whole"] =
      Model(transfers, pauses, burns) / Model(wholeTransfers, wholePauses, kWholeBurns);
}
BENCHMARK(BM_ReBurn)
    ->ArgNames({"paged", "case", "virtual", "ready_after"})
    ->ArgsProduct({{0, 1}, {kIdentical, kOnePage, kEveryBlock}, {0}, {0}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);
// About 5 ms of busy device after each paged block: 15 queries of 2 x 170 us.
BENCHMARK(BM_ReBurn)
    ->ArgNames({"paged", "case", "virtual", "ready_after"})
    ->ArgsProduct({{1}, {kIdentical, kOnePage, kEveryBlock}, {1}, {15}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
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
