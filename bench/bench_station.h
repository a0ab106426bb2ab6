// What the station's benchmarks share: a record store made anew, simulated
// devices with a transfer latency plugged into port-1 ... port-N, a station
// configuration that burns each once with a serial, and the station's events,
// counted.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "image/rom_image.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "station/station.h"
#include "store/sqlite_record_store.h"

namespace tessarin {

/// Counts the units that passed; nothing is shown.
class PassedUnits : public StationEvents {
 public:
  void OnEvent(const StationEvent& event) override {
    if (event.m_kind == StationEventKind::kFinished && event.m_outcome == UnitOutcome::kPassed) {
      ++m_passed;
    }
  }
  int m_passed = 0;  ///< read once the station's Run returned
};

struct BenchStation {
  std::unique_ptr<SqliteRecordStore> m_store;
  std::unique_ptr<SimBackend> m_backend;
  StationConfig m_config;
};

/// Removes the store at `db` with its WAL files, once nothing has it open
/// (Windows refuses to remove an open file).
inline void RemoveBenchStore(const std::filesystem::path& db) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db.string() + suffix);
}

/// The store at `db` (removed first, with its WAL files) and `units` devices.
inline BenchStation MakeBenchStation(const std::filesystem::path& db, int units,
                                     std::chrono::nanoseconds latency, SharedRomImage image) {
  RemoveBenchStore(db);
  BenchStation bench;
  std::string error;
  bench.m_store = SqliteRecordStore::Open(db.string(), &error);
  bench.m_store->BeginSession({"bench"}, nullptr, &error);
  bench.m_backend = std::make_unique<SimBackend>(RealClock());
  for (int i = 0; i < units; ++i) {
    SimDeviceConfig config;
    config.m_latency = latency;
    auto device = std::make_shared<SimDevice>(config, RealClock());
    device->SetLogging(false);
    bench.m_backend->AddDevice(device, "port-" + std::to_string(i + 1));
  }
  bench.m_config.m_image = std::move(image);
  bench.m_config.m_imagePath = "bench.rom";
  bench.m_config.m_serials = MakeFormatSeries(*SerialFormat::Parse("B-{:06}", &error), 1, &error);
  bench.m_config.m_maxUnits = units;
  return bench;
}

}  // namespace tessarin
