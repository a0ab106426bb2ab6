// The live board must never slow a burn: 8 simulated devices with 170 us per
// transfer burned by the station while the board serves 20 event-stream
// clients, against the same station without a board. The goal: within
// 1.05 x the time (the "ratio" counter of BM_BoardOverhead, whose runs
// alternate so that both see the same machine).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_image.h"
#include "bench_station.h"
#include "board/board_server.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "station/slot_board.h"
#include "station/station.h"
#include "store/sqlite_record_store.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr auto kLatency = std::chrono::microseconds(170);
constexpr int kDevices = 8;

/// An event-stream client on a thread of its own that reads everything.
class StreamClient {
 public:
  explicit StreamClient(int port) {
    m_thread = std::thread([this, port] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(60s);
      client.Get("/events", [this](const char*, std::size_t n) {
        m_bytes.fetch_add(n);
        return !m_stop.load();
      });
    });
  }
  ~StreamClient() {
    m_stop.store(true);
    m_thread.join();
  }
  std::size_t Bytes() const { return m_bytes.load(); }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<std::size_t> m_bytes{0};
  std::thread m_thread;
};

/// What one run of Station::Run took: wall seconds (negative: it failed)
/// and the process's processor seconds meanwhile.
struct RunTime {
  double m_seconds = -1;
  double m_cpu = 0;
};

/// One station run of 8 units with `clients` board clients (0: no board),
/// its records in a store at `db` made anew; adds the bytes the clients got
/// to *bytes.
RunTime RunStationOn(const fs::path& db, int clients, std::size_t* bytes) {
  static const SharedRomImage image = FullImage();
  BenchStation bench = MakeBenchStation(db, kDevices, kLatency, image);
  std::string error;
  SlotBoard board;
  std::unique_ptr<SqliteRecordStore> boardStore;  // the board's own connection, as the tool's
  std::unique_ptr<BoardServer> server;
  std::vector<std::unique_ptr<StreamClient>> readers;
  if (clients > 0) {
    boardStore = SqliteRecordStore::Open(db.string(), &error);
    if (!boardStore) return {};
    server = std::make_unique<BoardServer>(board, *boardStore, BoardInfo{}, std::nullopt,
                                           BoardOptions{});
    if (!server->Start(&error)) return {};
    board.AddWatcher(server->Watcher());
    for (int i = 0; i < clients; ++i) {
      readers.push_back(std::make_unique<StreamClient>(server->Access().m_port));
    }
    // Each has its snapshot before the station starts.
    for (const auto& r : readers) {
      while (r->Bytes() == 0) std::this_thread::sleep_for(1ms);
    }
  }
  Station station(*bench.m_backend, *bench.m_store, bench.m_config, board);
  StationSummary summary;
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  const bool ok = station.Run(&summary, &error) && summary.m_passed == kDevices;
  RunTime time;
  time.m_cpu = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
  time.m_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (server) server->Stop();
  for (const auto& r : readers) *bytes += r->Bytes();
  readers.clear();
  if (!ok) time.m_seconds = -1;
  return time;
}

/// The same in the temporary folder, the store removed once closed.
RunTime RunStation(int clients, std::size_t* bytes) {
  const fs::path db = fs::temp_directory_path() / "tessarin-board-bench.db";
  const RunTime time = RunStationOn(db, clients, bytes);
  RemoveBenchStore(db);
  return time;
}

/// The station alone (0) and with the board and 20 clients (20).
void BM_StationWithBoard(benchmark::State& state) {
  const int clients = static_cast<int>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const RunTime time = RunStation(clients, &bytes);
    if (time.m_seconds < 0) {
      state.SkipWithError("the station or its board failed");
      break;
    }
    state.SetIterationTime(time.m_seconds);
  }
  if (clients > 0) {
    state.counters["kB_per_client"] =
        static_cast<double>(bytes) / 1024 / static_cast<double>(clients * state.iterations());
  }
}
BENCHMARK(BM_StationWithBoard)
    ->ArgName("clients")
    ->Arg(0)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->MeasureProcessCPUTime()
    ->Iterations(5);

/// Both, alternating: the time with the board over the time without, over
/// all runs ("ratio") and the median of the pairs' ratios ("median_ratio",
/// which a run disturbed by the machine's other work moves least); and the
/// processor seconds of a run without and with the board.
void BM_BoardOverhead(benchmark::State& state) {
  RunTime with;
  RunTime without;
  with.m_seconds = without.m_seconds = 0;
  std::vector<double> ratios;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const RunTime plain = RunStation(0, &bytes);
    const RunTime served = RunStation(20, &bytes);
    if (plain.m_seconds <= 0 || served.m_seconds < 0) {
      state.SkipWithError("the station or its board failed");
      break;
    }
    without.m_seconds += plain.m_seconds;
    without.m_cpu += plain.m_cpu;
    with.m_seconds += served.m_seconds;
    with.m_cpu += served.m_cpu;
    ratios.push_back(served.m_seconds / plain.m_seconds);
    state.SetIterationTime(served.m_seconds);
  }
  if (ratios.empty()) return;
  const double runs = static_cast<double>(ratios.size());
  state.counters["ratio"] = with.m_seconds / without.m_seconds;
  std::sort(ratios.begin(), ratios.end());
  state.counters["median_ratio"] = ratios[ratios.size() / 2];
  state.counters["cpu_s_without"] = without.m_cpu / runs;
  state.counters["cpu_s_with"] = with.m_cpu / runs;
}
BENCHMARK(BM_BoardOverhead)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(30);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
