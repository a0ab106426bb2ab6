// station: burns every device plugged in; records: exports the unit records;
// release-serial: gives a spent serial back.
#include <atomic>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/station_display.h"
#include "platform/process.h"
#include "sim/backend_choice.h"
#include "station/sha256.h"
#include "station/sqlite_record_store.h"
#include "station/station.h"

namespace tessarin {

namespace {

// Ctrl+C presses since the station started: the station looks at the count.
std::atomic<int> g_interrupts{0};

void OnInterrupt(int signal) {
  g_interrupts.fetch_add(1);
  // Some systems reset the handler on each signal; the second press must
  // reach us too.
  std::signal(signal, OnInterrupt);
}

class InterruptCounter {
 public:
  InterruptCounter() {
    g_interrupts.store(0);
    m_previous = std::signal(SIGINT, OnInterrupt);
  }
  ~InterruptCounter() { std::signal(SIGINT, m_previous == SIG_ERR ? SIG_DFL : m_previous); }
  InterruptCounter(const InterruptCounter&) = delete;
  InterruptCounter& operator=(const InterruptCounter&) = delete;

 private:
  void (*m_previous)(int) = SIG_DFL;
};

std::unique_ptr<SqliteRecordStore> OpenStore(const std::string& db, bool mustExist,
                                             Console& console, int* code) {
  std::error_code ec;
  if (mustExist && !std::filesystem::exists(db, ec)) {
    *code = console.Fail(EXIT_BAD_INPUT,
                         "no record store at " + db + ": give the --db that `station` wrote to");
    return nullptr;
  }
  std::string error;
  auto store = SqliteRecordStore::Open(db, &error);
  if (!store) *code = console.Fail(EXIT_BAD_INPUT, error + "; give another --db");
  return store;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

nlohmann::ordered_json UnitJson(const UnitRecord& r) {
  return {{"id", r.m_id},
          {"startedAt", r.m_startedAt},
          {"endedAt", r.m_endedAt},
          {"station", r.m_station},
          {"port", r.m_port},
          {"device", r.m_device},
          {"versionBefore", r.m_versionBefore},
          {"curBefore", r.m_curBefore},
          {"versionAfter", r.m_versionAfter},
          {"curAfter", r.m_curAfter},
          {"image", r.m_imagePath},
          {"imageSize", r.m_imageSize},
          {"imageSha256", r.m_imageSha256},
          {"serial", r.m_serial},
          {"result", r.m_outcome},
          {"status", r.m_statusCode},
          {"text", r.m_statusText},
          {"bytes", r.m_bytes},
          {"durationMs", r.m_durationMs},
          {"toolVersion", r.m_toolVersion},
          {"backup", r.m_backupFile},
          {"message", r.m_message}};
}

}  // namespace

int RunStation(const GlobalOptions& global, const StationOptions& options, Console& console) {
  int code = EXIT_OK;
  const SharedRomImage image = LoadNonEmptyImage(options.m_file, "burn", console, &code);
  if (!image) return code;

  StationConfig config;
  std::string error;
  if (options.m_serialFormat) {
    config.m_serials = MakeFormatSeries(*options.m_serialFormat, options.m_serialStart, &error);
    if (!config.m_serials) return console.Fail(EXIT_BAD_INPUT, error);
  } else if (!options.m_serialList.empty()) {
    auto list = ReadSerialList(options.m_serialList, &error);
    if (!list) return console.Fail(EXIT_BAD_INPUT, error);
    SerialSeries series;
    series.m_list = std::move(*list);
    series.m_listFile = std::filesystem::absolute(options.m_serialList).string();
    config.m_serials = std::move(series);
  }
  std::error_code ec;
  if (!options.m_backupDir.empty() && !std::filesystem::is_directory(options.m_backupDir, ec)) {
    return console.Fail(EXIT_BAD_INPUT,
                        "--backup-dir " + options.m_backupDir + ": no such directory; create it");
  }
  if (!global.m_trace.empty()) {
    console.Warn("--trace is not taken by `station`; trace single burns with `burn`");
  }

  auto store = OpenStore(options.m_db, false, console, &code);
  if (!store) return code;
  ChosenBackend chosen = ChooseHidBackend(global.m_simulate);
  if (!chosen.m_backend) {
    const bool usage = chosen.m_failure != BackendFailure::kNoPlatform;
    return console.Fail(usage ? EXIT_BAD_INPUT : EXIT_NO_DEVICE,
                        usage ? chosen.m_error : "cannot reach the HID devices: " + chosen.m_error);
  }

  config.m_image = image;
  config.m_imagePath = std::filesystem::absolute(options.m_file).string();
  config.m_imageSha256 = Sha256Hex(image->ImageData());
  config.m_once = options.m_once;
  config.m_maxUnits = options.m_maxUnits;
  config.m_backupDir = options.m_backupDir;
  config.m_stationName = options.m_name.empty() ? HostName() : options.m_name;
  config.m_toolVersion = TESSARIN_VERSION;
  config.m_interrupts = &g_interrupts;

  std::vector<SpentSerial> spent;
  if (!store->BeginSession(config.m_stationName, &spent, &error)) {
    return console.Fail(EXIT_BAD_INPUT, "record store " + options.m_db + ": " + error);
  }
  for (const SpentSerial& s : spent) {
    console.Warn("serial " + s.m_serial + " (unit " + std::to_string(s.m_unitId) + " on " +
                 s.m_port +
                 ") was reserved by a station that ended before the unit was finished: it "
                 "counts as spent and is never handed out again (release-serial gives it back)");
  }

  const ProgressStyle style = ChooseProgressStyle(global);
  auto display = CreateStationDisplay(style, console.m_out, ProgressColumns());
  if (style != ProgressStyle::kJson) {
    console.m_out << "Station " << config.m_stationName << ": " << options.m_file << " ("
                  << image->ImageSize() << " bytes, SHA-256 " << config.m_imageSha256.substr(0, 16)
                  << "...), records in " << options.m_db << '\n'
                  << (options.m_once ? "Burning the devices attached now.\n"
                                     : "Waiting for devices; Ctrl+C to end.\n");
    console.m_out.flush();
  }
  StationSummary summary;
  bool ok = false;
  {
    InterruptCounter interrupts;
    Station station(*chosen.m_backend, *store, std::move(config), *display);
    ok = station.Run(&summary, &error);
  }
  store->EndSession();
  if (!ok) return console.Fail(EXIT_DEVICE_FAILED, error);
  const int units = summary.m_passed + summary.m_failed + summary.m_stopped;
  if (options.m_once && units + summary.m_refused == 0) {
    return console.Fail(EXIT_NO_DEVICE, "no device found: nothing was burned");
  }
  return summary.m_failed + summary.m_stopped > 0 ? EXIT_DEVICE_FAILED : EXIT_OK;
}

int RunRecords(const GlobalOptions& global, const RecordsOptions& options, Console& console) {
  std::string error;
  std::string since;
  if (!options.m_since.empty()) {
    auto normal = NormaliseSinceTime(options.m_since, &error);
    if (!normal) return console.Fail(EXIT_BAD_INPUT, error);
    since = *normal;
  }
  int code = EXIT_OK;
  auto store = OpenStore(options.m_db, true, console, &code);
  if (!store) return code;
  auto units = store->Units(since, &error);
  if (!units) return console.Fail(EXIT_BAD_INPUT, "record store " + options.m_db + ": " + error);
  std::ostream& out = console.m_out;
  if (global.m_json) {
    for (const UnitRecord& r : *units) {
      out << UnitJson(r).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
  } else if (options.m_csv) {
    bool header = true;
    for (const UnitRecord& r : *units) {
      const nlohmann::ordered_json j = UnitJson(r);
      std::string line;
      for (const auto& [key, value] : j.items()) {
        if (header) line += (line.empty() ? "" : ",") + key;
      }
      if (header) out << line << '\n';
      header = false;
      line.clear();
      bool first = true;
      for (const auto& [key, value] : j.items()) {
        line += first ? "" : ",";
        first = false;
        line += CsvField(value.is_string() ? value.get<std::string>() : value.dump());
      }
      out << line << '\n';
    }
  } else {
    for (const UnitRecord& r : *units) {
      out << r.m_startedAt << "  " << r.m_port << "  " << r.m_device << "  "
          << (r.m_serial.empty() ? "-" : r.m_serial) << "  " << r.m_outcome;
      if (!r.m_statusText.empty()) out << "  " << r.m_statusText;
      if (!r.m_message.empty()) out << "  (" << r.m_message << ")";
      out << '\n';
    }
    if (units->empty())
      out << "No units recorded" << (since.empty() ? "" : " since " + since) << ".\n";
  }
  out.flush();
  return EXIT_OK;
}

int RunReleaseSerial(const GlobalOptions& global, const ReleaseSerialOptions& options,
                     Console& console) {
  (void)global;
  int code = EXIT_OK;
  auto store = OpenStore(options.m_db, true, console, &code);
  if (!store) return code;
  std::string error;
  if (!store->ReleaseSerial(options.m_serial, &error)) return console.Fail(EXIT_BAD_INPUT, error);
  if (console.m_json) {
    console.Emit({{"event", "released"}, {"serial", options.m_serial}});
  } else {
    console.m_out << "Serial " << options.m_serial << " is free again.\n";
  }
  return EXIT_OK;
}

}  // namespace tessarin
