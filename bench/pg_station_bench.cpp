// The station on a PostgreSQL server (a throwaway one on 127.0.0.1, fsync on
// as a real server has it) against the SQLite file. The goals: 8 simulated
// devices with 170 us per transfer finish on the server within 1.05 x their
// time on the file; with 3 stations of 8 slots on one server, a serial's
// reservation (StartUnit) takes under 20 ms at the 99th percentile, at work
// (units coming one after the other) and at the worst moment (all 24 at once).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_image.h"
#include "bench_station.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "station/station.h"
#include "store/pg_record_store.h"
#include "store/sqlite_record_store.h"
#include "support/forwarding_store.h"
#include "support/pg_test_server.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
constexpr auto kLatency = std::chrono::microseconds(170);

/// The benchmarks' server, started at the first use and stopped at the end.
PgTestServer* Server(std::string* error) {
  static std::string failure;
  static const std::unique_ptr<PgTestServer> server = [] {
    PgTestServer::Options options;
    options.m_tcp = true;
    options.m_durable = true;
    return PgTestServer::Start(options, &failure);
  }();
  if (!server && error) *error = failure;
  return server.get();
}

/// A database nobody used, on the benchmarks' server; empty when there is none.
std::string FreshUri(benchmark::State& state) {
  std::string error;
  PgTestServer* server = Server(&error);
  const std::string db = server ? server->FreshDatabase(&error) : "";
  if (db.empty()) state.SkipWithError(("no PostgreSQL server: " + error).c_str());
  return db.empty() ? "" : server->Uri(db);
}

/// A device's time as hardware spends it: the station's thread waits in the
/// kernel and takes no processor (the real clock spins out its last
/// microseconds for precision, which 24 devices on a small machine turn into
/// a processor shortage that no store could be measured under).
class BlockingClock : public RealSimClock {
 public:
  void Sleep(std::chrono::nanoseconds duration) override { std::this_thread::sleep_for(duration); }
};

/// Times each StartUnit of the store it hands the calls to.
class TimedStarts : public testing::ForwardingStore {
 public:
  using ForwardingStore::ForwardingStore;
  bool StartUnit(UnitRecord* r, const SerialSeries* series, std::string* e) override {
    const auto before = std::chrono::steady_clock::now();
    const bool ok = ForwardingStore::StartUnit(r, series, e);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
            .count();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ms.push_back(ms);
    return ok;
  }
  std::vector<double> Times() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ms;
  }

 private:
  std::mutex m_mutex;
  std::vector<double> m_ms;
};

/// One station burning `units` simulated devices, with serials from one
/// series; true when every unit passed. `plug` plugs the devices in.
bool RunStation(RecordStore& store, int units, const std::string& name,
                const std::shared_ptr<SimClock>& clock,
                const std::function<void(SimBackend&)>& plug) {
  SimBackend backend(clock);
  plug(backend);
  std::string error;
  StationConfig config;
  config.m_image = FullImage();
  config.m_imagePath = "bench.rom";
  config.m_stationName = name;
  config.m_serials = MakeFormatSeries(*SerialFormat::Parse("B-{:06}", &error), 1, &error);
  config.m_maxUnits = units;
  PassedUnits events;
  Station station(backend, store, config, events);
  return station.Run(nullptr, &error) && events.m_passed == units;
}

/// `units` devices plugged in at once, one a port.
bool BurnAtOnce(RecordStore& store, int units, const std::string& name,
                const std::shared_ptr<SimClock>& clock = RealClock()) {
  return RunStation(store, units, name, clock, [&](SimBackend& backend) {
    for (int i = 0; i < units; ++i) {
      SimDeviceConfig config;
      config.m_latency = kLatency;
      auto device = std::make_shared<SimDevice>(config, clock);
      device->SetLogging(false);
      backend.AddDevice(device, "port-" + std::to_string(i + 1));
    }
  });
}

enum class Kind { kSqlite, kPostgres };

/// 8 devices burned by one station, its records in the file or on the server.
void BM_EightDevices(benchmark::State& state) {
  const auto kind = static_cast<Kind>(state.range(0));
  const fs::path db = fs::temp_directory_path() / "tessarin-pg-bench.db";
  for (auto _ : state) {
    state.PauseTiming();
    std::string error;
    std::unique_ptr<RecordStore> store;
    if (kind == Kind::kSqlite) {
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
      store = SqliteRecordStore::Open(db.string(), &error);
    } else {
      const std::string uri = FreshUri(state);
      if (uri.empty()) return;
      store = PgRecordStore::Open(uri, {}, &error);
    }
    if (!store || !store->BeginSession({"bench"}, nullptr, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    state.ResumeTiming();
    if (!BurnAtOnce(*store, 8, "bench")) {
      state.SkipWithError("burn failed");
      break;
    }
  }
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
}
BENCHMARK(BM_EightDevices)
    ->ArgName("store")
    ->Arg(static_cast<int>(Kind::kSqlite))
    ->Arg(static_cast<int>(Kind::kPostgres))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

/// One reservation after the other on one connection, nothing else on the
/// server: what a single StartUnit costs.
void BM_OneReservation(benchmark::State& state) {
  const std::string uri = FreshUri(state);
  if (uri.empty()) return;
  std::string error;
  auto store = PgRecordStore::Open(uri, {}, &error);
  if (!store || !store->BeginSession({"one"}, nullptr, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const SerialSeries series = *MakeFormatSeries(*SerialFormat::Parse("O-{:06}", &error), 1, &error);
  for (auto _ : state) {
    UnitRecord unit;
    unit.m_startedAt = store->Now();
    if (!store->StartUnit(&unit, &series, &error)) state.SkipWithError(error.c_str());
  }
}
BENCHMARK(BM_OneReservation)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The percentiles of the reservations' times, as the benchmark's counters.
void ReportTimes(benchmark::State& state, std::vector<double> all) {
  if (all.empty()) return;
  std::sort(all.begin(), all.end());
  const auto at = [&](double q) {
    return all[std::min(all.size() - 1, static_cast<std::size_t>(q * all.size()))];
  };
  state.counters["reservations"] = static_cast<double>(all.size());
  state.counters["p50_ms"] = at(0.50);
  state.counters["p99_ms"] = at(0.99);
  state.counters["max_ms"] = all.back();
}

/// 3 stations (3 connections) of 8 slots each on one server, each station run
/// by `run` on its timed store: the time each reservation took.
void ThreeStations(benchmark::State& state,
                   const std::function<bool(RecordStore&, const std::string&)>& run) {
  std::vector<double> all;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string uri = FreshUri(state);
    if (uri.empty()) return;
    std::vector<std::unique_ptr<RecordStore>> stores;
    std::vector<std::unique_ptr<TimedStarts>> timed;
    std::string error;
    const std::string names[] = {"s0", "s1", "s2"};
    for (const std::string& name : names) {
      stores.push_back(PgRecordStore::Open(uri, {}, &error));
      if (!stores.back() || !stores.back()->BeginSession({name}, nullptr, &error)) {
        state.SkipWithError(error.c_str());
        return;
      }
      timed.push_back(std::make_unique<TimedStarts>(*stores.back()));
    }
    state.ResumeTiming();
    std::vector<std::thread> stations;
    std::atomic<bool> ok{true};
    for (int i = 0; i < 3; ++i) {
      stations.emplace_back([&, i] {
        if (!run(*timed[i], names[i])) ok = false;
      });
    }
    for (std::thread& t : stations) t.join();
    if (!ok) {
      state.SkipWithError("burn failed");
      break;
    }
    for (const auto& t : timed) {
      const std::vector<double> times = t->Times();
      all.insert(all.end(), times.begin(), times.end());
    }
  }
  ReportTimes(state, std::move(all));
}

/// All 24 devices plugged in at once, so that all 24 reservations come
/// together: the worst moment.
void BM_ThreeStationsAtOnce(benchmark::State& state) {
  const auto clock = std::make_shared<BlockingClock>();
  ThreeStations(state, [&](RecordStore& store, const std::string& name) {
    return BurnAtOnce(store, 8, name, clock);
  });
}
BENCHMARK(BM_ThreeStationsAtOnce)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

/// A line at work: on each station the units come one after the other into
/// the next free of its 8 ports, 24 units a station.
void BM_ThreeStationsAtWork(benchmark::State& state) {
  const auto clock = std::make_shared<BlockingClock>();
  ThreeStations(state, [&](RecordStore& store, const std::string& name) {
    return RunStation(store, 24, name, clock, [](SimBackend& backend) {
      SimPlugPlan plan;
      plan.m_device.m_latency = kLatency;
      plan.m_units = 24;
      plan.m_ports = 8;
      plan.m_every = std::chrono::milliseconds(70);
      // Longer than any reservation: a unit is unplugged after its burn.
      plan.m_linger = std::chrono::milliseconds(300);
      backend.StartPlugging(plan, "");
    });
  });
}
BENCHMARK(BM_ThreeStationsAtWork)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
