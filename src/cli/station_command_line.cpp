#include "cli/station_command_line.h"

#include <CLI/CLI.hpp>

namespace tessarin {

namespace {

const char kStationFooter[] = R"(
The station burns every Kestrova device plugged in, each in a slot of its own
keyed by its USB port, in parallel. A device that is not a Kestrova device, or
that the image does not suit, is refused and recorded, never burned. After its
result a port is burned again only once its device was unplugged and one is
plugged in. Ctrl+C once: no new devices, running burns finish; twice: running
burns stop at their next block (the device is left without a valid image).

Serial numbers: --serial-format TEXT with one number placeholder, {} (as is),
{:N} (at least N characters, blanks first) or {:0N} (zeros first); {{ and }}
are braces. "KS-{:06}" with --serial-start 1 gives KS-000001, KS-000002, ...
Or --serial-list FILE, one serial a line. A serial is at most 31 characters
and goes to one unit only, also across crashes and several stations sharing a
--db; a unit that fails after its serial was written keeps it ("failed"), and
only `release-serial` gives it back.

Records: one per unit in the SQLite file --db (default ./tessarin-station.db),
readable with `tessarin-cli records` or the sqlite3 shell (table units).

Exit code: 0 when every unit passed, 1 when any failed or was stopped, 2 for
bad usage or a store that cannot be used, 3 when --once found no device.

Try it on simulated devices:
  tessarin-cli make-image fw.rom --vid 0495 --pid 8041
  tessarin-cli --simulate "units=6,ports=3,latency=170us" station fw.rom \
      --serial-format "KS-{:06}" --max-units 6
)";

}  // namespace

void AddStationCommands(CLI::App& app, CommandLine* line) {
  CLI::App* station = app.add_subcommand(
      "station", "Production: burn every device plugged in, in parallel, with serial numbers");
  station->footer(kStationFooter);
  StationOptions& s = line->m_station;
  station->add_option("IMAGE", s.m_file, "Image file (.rom, at most 32768 bytes)")
      ->required()
      ->type_name("");
  station
      ->add_option("--db", s.m_db, "The record store (SQLite file; default ./tessarin-station.db)")
      ->type_name("FILE");
  station->add_option("--name", s.m_name, "This station's name in the records (default: host name)")
      ->type_name("TEXT");
  CLI::Option* format =
      station
          ->add_option("--serial-format", s.m_serialFormat, "Serials from a counter, e.g. KS-{:06}")
          ->type_name("TEXT");
  station
      ->add_option("--serial-start", s.m_serialStart,
                   "The counter's first number (default 1); the store goes on from where it was")
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
  station->callback([line] { line->m_command = Command::kStation; });

  CLI::App* records = app.add_subcommand("records", "Export the station's unit records");
  records
      ->add_option("--db", line->m_records.m_db, "The record store (default ./tessarin-station.db)")
      ->type_name("FILE");
  records->add_flag("--csv", line->m_records.m_csv, "Comma-separated, every field, with a header");
  records
      ->add_option("--since", line->m_records.m_since,
                   "Only units started at or after this UTC time (2026-12-08T14:00)")
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
                   "The record store (default ./tessarin-station.db)")
      ->type_name("FILE");
  release->callback([line] { line->m_command = Command::kReleaseSerial; });
}

}  // namespace tessarin
