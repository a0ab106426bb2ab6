// What the command line asked for, one struct per command; filled by the
// argument parser in main.cpp, read by the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessarin {

/// Options every command takes.
struct GlobalOptions {
  std::optional<std::string> m_simulate;  ///< --simulate SPEC; none: the real devices
  std::string m_trace;     ///< --trace FILE; empty: no trace
  bool m_json = false;     ///< --json
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
  std::int64_t m_size = 32768;
  std::string m_version = "1.0";
  std::int64_t m_cur = 1;
  std::string m_vid;  ///< hex, with --pid; empty: no identifier block
  std::string m_pid;
};

/// Where the station keeps its records when --db is not given: the current
/// directory, so stations started in one place share one store.
inline constexpr char kDefaultStationDb[] = "tessarin-station.db";

struct StationOptions {
  std::string m_file;
  std::string m_db = kDefaultStationDb;
  std::string m_name;  ///< empty: the host name
  std::optional<std::string> m_serialFormat;
  std::uint64_t m_serialStart = 1;
  std::string m_serialList;
  bool m_once = false;
  int m_maxUnits = 0;
  std::string m_backupDir;
};

struct RecordsOptions {
  std::string m_db = kDefaultStationDb;
  bool m_csv = false;
  std::string m_since;
};

struct ReleaseSerialOptions {
  std::string m_db = kDefaultStationDb;
  std::string m_serial;
};

}  // namespace tessarin
