// What the command line asked for, one struct per command; filled by the
// argument parser in main.cpp, read by the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hid/protocol.h"

namespace tessarin {

/// Options every command takes.
struct GlobalOptions {
  std::optional<std::string> m_simulate;  ///< --simulate SPEC; none: the real devices
  std::string m_trace;                    ///< --trace FILE; empty: no trace
  bool m_json = false;                    ///< --json
};

struct ListOptions {
  bool m_all = false;
};

struct InfoOptions {
  std::string m_device;  ///< empty: the first device of the scan
};

struct ImageOptions {
  std::string m_file;
  std::string m_device;
};

struct BurnOptions {
  std::string m_file;
  std::string m_device;
  std::optional<std::string> m_serial;  ///< UTF-8; absent or empty: clear the descriptor
  std::string m_backup;                 ///< empty: no backup
  bool m_force = false;
  bool m_changedOnly = false;  ///< --changed-only: write only the blocks that differ
};

struct VerifyOptions {
  std::string m_file;
  std::string m_device;
};

struct DumpOptions {
  std::string m_file;
  std::string m_device;
};

struct MakeImageOptions {
  std::string m_out;
  std::int64_t m_size = EEPROM_BYTES;
  std::string m_version = "1.0";
  std::int64_t m_cur = 1;
  std::string m_vid;  ///< hex, with --pid; empty: no identifier block
  std::string m_pid;
};

/// The file name of the station's records when --db is not given.
inline constexpr char kDefaultStationDb[] = "tessarin-station.db";
/// Where a station on a database server keeps the results it cannot write
/// while the server is away, when --journal is not given.
inline constexpr char kDefaultStationJournal[] = "tessarin-station-journal.db";

/// Where the station keeps its records when --db is not given (UTF-8): on
/// Linux kDefaultStationDb in the current directory, so stations started in
/// one place share one store; on Windows in the user's data folder
/// (DefaultDataFolder), so every console and the Start-menu entry share one,
/// wherever they were started.
std::string DefaultStationDb();

struct StationOptions {
  std::string m_file;
  std::string m_db = DefaultStationDb();
  std::string m_journal = kDefaultStationJournal;  ///< used with a server --db only
  std::string m_name;                              ///< empty: the host name
  std::optional<std::string> m_serialFormat;
  /// As given: read by the station (decimal digits, at most 2^64 - 1).
  std::string m_serialStart = "1";
  std::string m_serialList;
  bool m_once = false;
  int m_maxUnits = 0;
  std::string m_backupDir;
  std::string m_board;       ///< --board ADDRESS:PORT or PORT; empty: no board
  std::string m_boardToken;  ///< --board-token; empty: made where the address needs one
};

struct RecordsOptions {
  std::string m_db = DefaultStationDb();
  bool m_csv = false;
  std::optional<std::string> m_since;  ///< absent: every unit; given, even empty: checked
};

struct ReleaseSerialOptions {
  std::string m_db = DefaultStationDb();
  std::string m_serial;
};

struct ImportRecordsOptions {
  std::string m_file;  ///< the SQLite store to copy
  std::string m_db;    ///< the server store to copy it into
};

}  // namespace tessarin
