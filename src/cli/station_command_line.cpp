#include "cli/station_command_line.h"

#include <CLI/CLI.hpp>
#include <filesystem>

#include "platform/file_io.h"

namespace tessarin {

namespace {

const char kStationFooter[] = R"(
The station burns every Kestrova device plugged in, each in a slot of its own
keyed by its USB port, in parallel. A device that is not a Kestrova device, or
that the image does not suit, is refused and recorded, never burned. After its
result a port is burned again only once its device was unplugged and one is
plugged in. Ctrl+C once: no new devices, running burns finish; twice: running
burns stop at their next block (the device is left without a valid image).
SIGTERM and SIGHUP (a shutdown, a log-out, a closed terminal), and on Windows
closing the console window, log-off and shutdown, count as twice: every unit
is recorded and its serial given back before the program is ended.

Serial numbers: --serial-format TEXT with one number placeholder, {} (as is),
{:N} (at least N characters, blanks first) or {:0N} (zeros first), N from 1
to 31 without sign or leading zeros; {{ and }} are braces. "KS-{:06}" with
--serial-start 1 gives KS-000001, KS-000002, ... up to 18446744073709551615,
where the series ends. Or --serial-list FILE, UTF-8, one serial a line. A
serial is at most 31 characters and goes to one unit only, also across
crashes and several stations sharing a --db; a unit that fails after its
serial was written keeps it ("failed"), and only `release-serial` gives it
back.

The summary's units per hour counts the units that got a result (passed or
failed), not the stopped or refused ones.

Records: one per unit in the SQLite file --db (default: see --db),
readable with `tessarin-cli records` or the sqlite3 shell (table units). For
stations on several machines, --db names a PostgreSQL server instead
(postgresql://user@host/dbname or "host=... dbname=..."); while it cannot be
reached, new units wait and the results of running burns are kept in the
--journal file (default ./tessarin-station-journal.db) until it is back.

Board: --board 8080 serves a read-only page at http://127.0.0.1:8080/ with a
tile per port, the counters and the latest units, live; /events streams the
--json objects, /api/state gives the whole board, /api/units?since=TIME the
records. On another address (--board 0.0.0.0:8080) the board needs a token:
--board-token TEXT, or one is made and printed in the URL.

Exit code: 0 when units were burned and every one passed (devices refused
beside them do not change it), 1 when a unit failed or was stopped (or the
store failed during the run), 2 for bad usage or a store that cannot be used,
3 when no unit was burned (devices were only refused, or none came).

Try it on simulated devices:
  tessarin-cli make-image fw.rom --vid 0495 --pid 8041
  tessarin-cli --simulate "units=6,ports=3,latency=170us" station fw.rom \
      --serial-format "KS-{:06}" --max-units 6
)";

/// The default store as --help names it.
std::string DefaultStoreShown() {
  return DefaultDataFolder().empty() ? std::string("./") + kDefaultStationDb : DefaultStationDb();
}

}  // namespace

std::string DefaultStationDb() {
  const std::filesystem::path folder = DefaultDataFolder();
  if (folder.empty()) return kDefaultStationDb;
  const std::u8string text = (folder / kDefaultStationDb).u8string();
  return std::string(text.begin(), text.end());
}

void AddStationCommands(CLI::App& app, CommandLine* line) {
  CLI::App* station = app.add_subcommand(
      "station", "Production: burn every device plugged in, in parallel, with serial numbers");
  station->footer(kStationFooter);
  StationOptions& s = line->m_station;
  station->add_option("IMAGE", s.m_file, "Image file (.rom, at most 32768 bytes)")
      ->required()
      ->type_name("");
  station
      ->add_option("--db", s.m_db,
                   "The record store: an SQLite file (default " + DefaultStoreShown() +
                       ") or a PostgreSQL server (postgresql://...)")
      ->type_name("FILE|URI");
  station
      ->add_option("--journal", s.m_journal,
                   "With a server --db: where results wait while the server is away (SQLite "
                   "file; default ./tessarin-station-journal.db)")
      ->type_name("FILE");
  station->add_option("--name", s.m_name, "This station's name in the records (default: host name)")
      ->type_name("TEXT");
  CLI::Option* format =
      station
          ->add_option("--serial-format", s.m_serialFormat, "Serials from a counter, e.g. KS-{:06}")
          ->type_name("TEXT");
  station
      ->add_option("--serial-start", s.m_serialStart,
                   "The counter's first number, 0 to 18446744073709551615 (default 1); the store "
                   "goes on from where it was")
      ->type_name("N")
      ->needs(format);
  CLI::Option* list =
      station->add_option("--serial-list", s.m_serialList, "Serials from a file, one a line")
          ->type_name("FILE");
  format->excludes(list);
  station->add_flag("--once", s.m_once, "Burn the devices attached now, then end");
  station->add_option("--max-units", s.m_maxUnits, "End after burning N units")
      ->type_name("N")
      ->check(CLI::Range(1, 1000000000));
  station
      ->add_option("--backup-dir", s.m_backupDir,
                   "First read each unit's EEPROM into a file in DIR (as burn --backup)")
      ->type_name("DIR");
  CLI::Option* board =
      station
          ->add_option("--board", s.m_board,
                       "Serve the live board (a web page and a JSON feed) on ADDRESS:PORT, or on "
                       "127.0.0.1:PORT; 0 takes any free port")
          ->type_name("ADDRESS:PORT");
  station
      ->add_option("--board-token", s.m_boardToken,
                   "The token the board asks for (default: none on 127.0.0.1, one made and "
                   "printed in the URL on any other address)")
      ->type_name("TEXT")
      ->needs(board);
  station->callback([line] { line->m_command = Command::kStation; });

  CLI::App* records = app.add_subcommand("records", "Export the station's unit records");
  records
      ->add_option("--db", line->m_records.m_db,
                   "The record store: file or server (default " + DefaultStoreShown() + ")")
      ->type_name("FILE|URI");
  records->add_flag("--csv", line->m_records.m_csv,
                    "Comma-separated, every field, with a header (a text that begins with = + - @, "
                    "a tab or CR gets a ' in front, so no spreadsheet runs it as a formula)");
  records
      ->add_option("--since", line->m_records.m_since,
                   "Only units started at or after this UTC time (2026-12-08T14:00, or a time as "
                   "the records print it)")
      ->type_name("TIME");
  records->footer("\nWithout --csv or --json: one line per unit. --json: one object per unit.\n");
  records->callback([line] { line->m_command = Command::kRecords; });

  CLI::App* release = app.add_subcommand(
      "release-serial", "Give a serial spent on a failed unit back to the station's pool");
  release->add_option("SERIAL", line->m_releaseSerial.m_serial, "The serial")
      ->required()
      ->type_name("");
  release
      ->add_option("--db", line->m_releaseSerial.m_db,
                   "The record store: file or server (default " + DefaultStoreShown() + ")")
      ->type_name("FILE|URI");
  release->callback([line] { line->m_command = Command::kReleaseSerial; });

  CLI::App* copy = app.add_subcommand(
      "import-records", "Copy a one-bench SQLite store into a PostgreSQL server store");
  copy->add_option("FILE", line->m_importRecords.m_file, "The SQLite store to copy")
      ->required()
      ->type_name("");
  copy->add_option("--db", line->m_importRecords.m_db, "The server store (postgresql://...)")
      ->required()
      ->type_name("URI");
  copy->footer(
      "\nUnits, serials with their states and the format counters are copied in one\n"
      "transaction. Nothing is copied when a serial of the file is known to the server\n"
      "already, or when the file was copied before. Stop the file's station first: a\n"
      "serial it holds reserved is copied as spent, its unit as interrupted.\n");
  copy->callback([line] { line->m_command = Command::kImportRecords; });
}

}  // namespace tessarin
