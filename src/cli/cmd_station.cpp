// station: burns every device plugged in; records: exports the unit records;
// release-serial: gives a spent serial back.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string_view>
#include <thread>

#include "board/board_json.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/station_board.h"
#include "cli/station_display.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/signals.h"
#include "sim/backend_choice.h"
#include "station/record_time.h"
#include "station/slot_board.h"
#include "station/station.h"
#include "store/open_record_store.h"
#include "store/server_store.h"

namespace tessarin {

namespace {

/// While it lives, the requests to stop the program raise the station's stop
/// level (Station::Stop): Ctrl+C (and Ctrl+Break) once takes no new devices,
/// twice stops the running burns at their next block; a request after which
/// the program is ended (SIGTERM, SIGHUP; the console closed, log-off,
/// shutdown) stops them at once, so that every unit is recorded and its serial
/// given back before the end comes.
class StopForwarder {
 public:
  StopForwarder(const StopRequests& requests, Station& station)
      : m_thread([this, &requests, &station] { Forward(requests, station); }) {}
  ~StopForwarder() {
    m_done.store(true);
    m_thread.join();
  }
  StopForwarder(const StopForwarder&) = delete;
  StopForwarder& operator=(const StopForwarder&) = delete;

 private:
  // How long the thread waits before it looks whether the station ended.
  static constexpr std::chrono::milliseconds kLook{50};

  void Forward(const StopRequests& requests, Station& station) {
    int seen = 0;
    while (!m_done.load()) {
      const int count = requests.WaitForMore(seen, kLook);
      if (count == seen) continue;
      seen = count;
      station.Stop(requests.EndingSoon() ? 2 : count);
    }
  }

  std::atomic<bool> m_done{false};
  std::thread m_thread;  // last: it starts once the rest is made
};

std::unique_ptr<RecordStore> OpenStore(const std::string& db, bool mustExist, Console& console,
                                       int* code, const RecordStoreOptions& options = {}) {
  std::error_code ec;
  // The default store's folder is made on first use; the path object, not
  // the UTF-8 text, names it to the system.
  const bool byDefault = db == DefaultStationDb() && !DefaultDataFolder().empty();
  const std::filesystem::path file =
      byDefault ? DefaultDataFolder() / kDefaultStationDb : std::filesystem::path(db);
  if (byDefault && !mustExist) std::filesystem::create_directories(DefaultDataFolder(), ec);
  if (mustExist && RecordStoreKindOf(db) == RecordStoreKind::kSqliteFile &&
      !std::filesystem::exists(file, ec)) {
    *code = console.Fail(EXIT_BAD_INPUT,
                         "no record store at " + db + ": give the --db that `station` wrote to");
    return nullptr;
  }
  std::string error;
  auto store = OpenRecordStore(db, options, &error);
  if (!store) *code = console.Fail(EXIT_BAD_INPUT, error + "; give another --db");
  return store;
}

/// A field of the CSV export. A text that a spreadsheet would take for a
/// formula (it begins with =, +, -, @, a tab or a carriage return: a serial
/// "=1+1", a station named "@SUM(A1)") gets a single quote in front, as the
/// usual advice on CSV injection has it, so it shows as text; a serial "-2"
/// too, which is then exported as '-2. Then a field with a comma, a quote or
/// a line break is quoted.
std::string CsvField(const nlohmann::ordered_json& value) {
  std::string text = value.is_string() ? value.get<std::string>() : value.dump();
  if (value.is_string() && !text.empty() &&
      std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    text.insert(0, 1, '\'');
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

/// The serials of the command line's choice: a format, a list or none.
bool ChooseSerials(const StationOptions& options, StationConfig* config, std::string* error) {
  if (options.m_serialFormat) {
    const std::string& text = *options.m_serialFormat;
    const auto format = SerialFormat::Parse(text, error);
    if (!format) {
      *error = "--serial-format " + QuoteSerial(text) + ": " + *error;
      return false;
    }
    const std::optional<std::uint64_t> start = ParseSerialNumber(options.m_serialStart, error);
    if (!start) {
      *error = "--serial-start " + QuoteSerial(options.m_serialStart) + ": " + *error;
      return false;
    }
    config->m_serials = MakeFormatSeries(*format, *start, error);
    if (!config->m_serials) *error = "--serial-format " + QuoteSerial(text) + ": " + *error;
    return config->m_serials.has_value();
  }
  if (options.m_serialList.empty()) return true;
  auto list = ReadSerialList(options.m_serialList, error);
  if (!list) {
    *error = "--serial-list: " + *error;
    return false;
  }
  SerialSeries series;
  series.m_list = std::move(*list);
  series.m_listFile = std::filesystem::absolute(options.m_serialList).string();
  config->m_serials = std::move(series);
  return true;
}

/// Everything the station needs that the command line gives, checked; the
/// exit code in *code when something does not hold.
std::optional<StationConfig> MakeStationConfig(const StationOptions& options, Console& console,
                                               int* code) {
  const SharedRomImage image = LoadNonEmptyImage(options.m_file, "burn", console, code);
  if (!image) return std::nullopt;
  StationConfig config;
  std::string error;
  if (!ChooseSerials(options, &config, &error)) {
    *code = console.Fail(EXIT_BAD_INPUT, error);
    return std::nullopt;
  }
  std::error_code ec;
  if (!options.m_backupDir.empty() && !std::filesystem::is_directory(options.m_backupDir, ec)) {
    const bool exists = std::filesystem::exists(options.m_backupDir, ec);
    *code = console.Fail(EXIT_BAD_INPUT,
                         "--backup-dir " + options.m_backupDir +
                             (exists ? ": not a directory; give the directory to keep the "
                                       "backups in"
                                     : ": no such directory; create it"));
    return std::nullopt;
  }
  config.m_image = image;
  config.m_imagePath = std::filesystem::absolute(options.m_file).string();
  config.m_imageSha256 = Sha256Hex(image->ImageData());
  config.m_once = options.m_once;
  config.m_maxUnits = options.m_maxUnits;
  config.m_backupDir = options.m_backupDir;
  config.m_stationName = options.m_name.empty() ? HostName() : options.m_name;
  config.m_toolVersion = TESSARIN_VERSION;
  return config;
}

void WarnSpent(const std::vector<SpentSerial>& spent, Console& console) {
  for (const SpentSerial& s : spent) {
    console.Warn("serial " + s.m_serial + " (unit " + std::to_string(s.m_unitId) + " on " +
                 s.m_port +
                 ") was reserved by a station that ended before the unit was finished: it "
                 "counts as spent and is never handed out again (release-serial gives it back)");
  }
}

/// The exit code of a station's run that the store let end: 0 when units
/// were burned and every one passed (devices refused beside them are in the
/// summary), 1 when one failed or was stopped, 3 when none was burned.
int StationExitCode(const StationSummary& summary, Console& console) {
  if (summary.m_failed + summary.m_stopped > 0) return EXIT_DEVICE_FAILED;
  if (summary.m_passed > 0) return EXIT_OK;
  if (summary.m_refused > 0) {
    return console.Fail(EXIT_NO_DEVICE,
                        "no unit was burned: " + std::to_string(summary.m_refused) +
                            (summary.m_refused == 1 ? " device was" : " devices were") +
                            " refused");
  }
  return console.Fail(EXIT_NO_DEVICE, "no device found: nothing was burned");
}

/// The station's run from its checks to its end, with the store closed when
/// it returns.
int RunStationWith(const StopRequests& requests, const GlobalOptions& global,
                   const StationOptions& options, Console& console) {
  int code = EXIT_OK;
  std::optional<StationConfig> config = MakeStationConfig(options, console, &code);
  if (!config) return code;
  RecordStoreOptions storeOptions;
  const bool server = RecordStoreKindOf(options.m_db) == RecordStoreKind::kServer;
  if (server) storeOptions.m_journal = options.m_journal;
  // The devices before the store: a run refused for its --simulate leaves
  // no new store behind.
  ChosenBackend chosen = ChooseHidBackend(global.m_simulate);
  if (!chosen.m_backend) {
    const bool usage = chosen.m_failure != BackendFailure::kNoPlatform;
    return console.Fail(usage ? EXIT_BAD_INPUT : EXIT_NO_DEVICE,
                        usage ? chosen.m_error : "cannot reach the HID devices: " + chosen.m_error);
  }
  auto store = OpenStore(options.m_db, false, console, &code, storeOptions);
  if (!store) return code;
  std::vector<SpentSerial> spent;
  std::string error;
  if (!store->BeginSession({config->m_stationName}, &spent, &error)) {
    return console.Fail(EXIT_BAD_INPUT,
                        "record store " + ShownLocation(options.m_db) + ": " + error);
  }
  WarnSpent(spent, console);

  const ProgressStyle style = ChooseProgressStyle(global);
  SlotBoard board;
  auto display = CreateStationDisplay(style, console.m_out, ProgressColumns(), board);
  board.AddWatcher(*display);
  const auto liveBoard = StartStationBoard(options, *config, board, console, &code);
  if (code != EXIT_OK) {
    store->EndSession();
    return code;
  }
  if (style != ProgressStyle::kJson) {
    console.m_out << "Station " << config->m_stationName << ": " << options.m_file << " ("
                  << config->m_image->ImageSize() << " bytes, SHA-256 "
                  << config->m_imageSha256.substr(0, 16) << "...), records in "
                  << ShownLocation(options.m_db)
                  << (server ? " (journal " + options.m_journal + ")" : std::string()) << '\n'
                  << (options.m_once ? "Burning the devices attached now.\n"
                                     : "Waiting for devices; Ctrl+C to end.\n");
    console.m_out.flush();
  }
  if (liveBoard) PrintBoardUrl(*liveBoard, options, console);
  StationSummary summary;
  bool ok = false;
  {
    Station station(*chosen.m_backend, *store, std::move(*config), board);
    const StopForwarder forwarder(requests, station);
    ok = station.Run(&summary, &error);
  }
  if (liveBoard) liveBoard->m_server->Stop();
  store->EndSession();
  if (const std::string pending = store->Pending(); !pending.empty()) console.Warn(pending);
  if (!ok) return console.Fail(EXIT_DEVICE_FAILED, error);
  return StationExitCode(summary, console);
}

}  // namespace

int RunStation(const GlobalOptions& global, const StationOptions& options, Console& console) {
  // From the start on, a request to stop ends the station in order instead
  // of the program at once; one that comes before the station runs stops it
  // as it starts.
  StopRequests requests;
  const int code = RunStationWith(requests, global, options, console);
  // The records, the session's end and the output are written and the store
  // is closed: a handler holding the program for the system may let it go.
  requests.Stopped();
  return code;
}

int RunRecords(const GlobalOptions& global, const RecordsOptions& options, Console& console) {
  std::string error;
  std::string since;
  if (options.m_since) {
    auto normal = NormaliseSinceTime(*options.m_since, &error);
    if (!normal) {
      return console.Fail(EXIT_BAD_INPUT, "--since \"" + *options.m_since + "\": " + error);
    }
    since = *normal;
  }
  int code = EXIT_OK;
  auto store = OpenStore(options.m_db, true, console, &code);
  if (!store) return code;
  auto units = store->Units(since, &error);
  if (!units) {
    return console.Fail(EXIT_BAD_INPUT,
                        "record store " + ShownLocation(options.m_db) + ": " + error);
  }
  std::ostream& out = console.m_out;
  if (global.m_json) {
    for (const UnitRecord& r : *units) {
      out << JsonLine(UnitJson(r)) << '\n';
    }
  } else if (options.m_csv) {
    // The header also when no unit is there.
    std::string header;
    const nlohmann::ordered_json fields = UnitJson(UnitRecord{});
    for (const auto& [key, value] : fields.items()) {
      header += (header.empty() ? "" : ",") + key;
    }
    out << header << '\n';
    for (const UnitRecord& r : *units) {
      std::string line;
      bool first = true;
      const nlohmann::ordered_json j = UnitJson(r);
      for (const auto& [key, value] : j.items()) {
        line += first ? "" : ",";
        first = false;
        line += CsvField(value);
      }
      out << line << '\n';
    }
  } else {
    for (const UnitRecord& r : *units) {
      out << r.m_startedAt << "  " << r.m_port << "  " << r.m_device << "  "
          << (r.m_serial.empty() ? "-" : r.m_serial) << "  " << OutcomeWord(r.m_outcome);
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

int RunImportRecords(const GlobalOptions& global, const ImportRecordsOptions& options,
                     Console& console) {
  (void)global;
  if (RecordStoreKindOf(options.m_db) != RecordStoreKind::kServer) {
    return console.Fail(EXIT_BAD_INPUT,
                        "--db " + options.m_db +
                            ": import-records copies into a server store; give "
                            "a postgresql:// URI or a \"host=... dbname=...\" string");
  }
  ImportSummary summary;
  std::string error;
  if (!ImportIntoServerStore(options.m_file, options.m_db, &summary, &error)) {
    return console.Fail(EXIT_BAD_INPUT, error);
  }
  WarnSpent(summary.m_spent, console);
  const std::string shown = ShownLocation(options.m_db);
  if (console.m_json) {
    console.Emit({{"event", "imported"},
                  {"file", options.m_file},
                  {"units", summary.m_units},
                  {"serials", summary.m_serials},
                  {"counters", summary.m_counters}});
  } else {
    console.m_out << "Copied " << summary.m_units << " units, " << summary.m_serials
                  << " serials and " << summary.m_counters << " serial counters from "
                  << options.m_file << " into " << shown << ".\n";
  }
  return EXIT_OK;
}

}  // namespace tessarin
