#include "store/sqlite_record_store.h"

#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/process.h"
#include "station/record_time.h"
#include "store/sqlite_statement.h"
#include "store/store_rules.h"

namespace tessarin {

namespace {

// sessions.process_start: the station's process start time (ProcessStartTime),
// NULL where the system did not say and in files of earlier versions, whose
// sessions are told alive by the process id alone.
constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS sessions(
  id INTEGER PRIMARY KEY, station TEXT NOT NULL, host TEXT NOT NULL, pid INTEGER NOT NULL,
  started_at TEXT NOT NULL, ended_at TEXT, end_reason TEXT, process_start INTEGER);
CREATE TABLE IF NOT EXISTS units(
  id INTEGER PRIMARY KEY, session_id INTEGER, started_at TEXT NOT NULL, ended_at TEXT,
  station TEXT, port TEXT, device TEXT, version_before TEXT, cur_before TEXT,
  version_after TEXT, cur_after TEXT, image_path TEXT, image_size INTEGER, image_sha256 TEXT,
  serial TEXT, outcome TEXT NOT NULL, status_code INTEGER, status_text TEXT, bytes INTEGER,
  duration_ms INTEGER, tool_version TEXT, backup_file TEXT, message TEXT);
CREATE INDEX IF NOT EXISTS units_started ON units(started_at);
CREATE TABLE IF NOT EXISTS serials(
  serial TEXT PRIMARY KEY, series TEXT NOT NULL, state TEXT NOT NULL, unit_id INTEGER,
  session_id INTEGER, updated_at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS serials_free ON serials(series, state);
CREATE TABLE IF NOT EXISTS counters(series TEXT PRIMARY KEY, next INTEGER NOT NULL);
)";

constexpr char kUnitColumns[] =
    "id, started_at, ended_at, station, port, device, version_before, cur_before, version_after, "
    "cur_after, image_path, image_size, image_sha256, serial, outcome, status_code, status_text, "
    "bytes, duration_ms, tool_version, backup_file, message";

/// Makes the tables of a file that an earlier version made, or that one
/// still uses, what kSchema makes: the columns added since, inside the
/// transaction that made the tables.
bool MigrateSchema(sqlite3* db, std::string* error) {
  bool hasProcessStart = false;
  {
    Statement columns(db, "SELECT name FROM pragma_table_info('sessions')");
    int rc;
    while ((rc = columns.Step()) == SQLITE_ROW) {
      if (columns.Text(0) == "process_start") hasProcessStart = true;
    }
    if (rc != SQLITE_DONE) {
      if (error) *error = DbError(db);
      return false;
    }
  }
  return hasProcessStart ||
         Exec(db, "ALTER TABLE sessions ADD COLUMN process_start INTEGER", error);
}

/// Whether the station of an open session on this host still runs: its
/// process, by the id and the start time; by the id alone for a session
/// whose start time is not known.
bool SessionAlive(std::int64_t pid, std::optional<std::int64_t> processStart) {
  return processStart ? ProcessAlive(pid, *processStart) : ProcessRunning(pid);
}

/// The unit of the row; null with the reason when its result is no word
/// this store writes.
std::optional<UnitRecord> ReadUnit(const Statement& s, std::string* error) {
  const std::optional<UnitOutcome> outcome = OutcomeFromWord(s.Text(14));
  if (!outcome) {
    if (error) {
      *error = "unit " + std::to_string(s.Int(0)) + " has an unknown result \"" + s.Text(14) + "\"";
    }
    return std::nullopt;
  }
  UnitRecord r;
  r.m_id = s.Int(0);
  r.m_startedAt = s.Text(1);
  r.m_endedAt = s.Text(2);
  r.m_station = s.Text(3);
  r.m_port = s.Text(4);
  r.m_device = s.Text(5);
  r.m_versionBefore = s.Text(6);
  r.m_curBefore = s.Text(7);
  r.m_versionAfter = s.Text(8);
  r.m_curAfter = s.Text(9);
  r.m_imagePath = s.Text(10);
  r.m_imageSize = s.Int(11);
  r.m_imageSha256 = s.Text(12);
  r.m_serial = s.Text(13);
  r.m_outcome = *outcome;
  r.m_statusCode = static_cast<int>(s.Int(15));
  r.m_statusText = s.Text(16);
  r.m_bytes = s.Int(17);
  r.m_durationMs = s.Int(18);
  r.m_toolVersion = s.Text(19);
  r.m_backupFile = s.Text(20);
  r.m_message = s.Text(21);
  return r;
}

}  // namespace

std::unique_ptr<SqliteRecordStore> SqliteRecordStore::Open(const std::string& path,
                                                           std::string* error) {
  // SQLite takes the name as UTF-8, on every system.
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
  std::error_code ec;
  const bool existed = std::filesystem::exists(file, ec) || ec;
  sqlite3* db = nullptr;
  std::string why;
  // WAL lets exports read while stations write; each commit durable at once
  // puts a reserved serial on disk before its burn begins.
  const bool opened = OpenDurable(path, SQLITE_OPEN_FULLMUTEX, &db, &why);
  std::unique_ptr<SqliteRecordStore> store(new SqliteRecordStore(db, path));
  const auto fail = [&](const std::string& reason) {
    if (error) *error = "record store " + path + ": " + reason;
    if (!existed) {
      // A store this open made and could not finish is no store: nothing
      // is left behind to be taken for one.
      store.reset();
      for (const char* end : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(std::filesystem::path(file) += end, ec);
      }
    }
    return nullptr;
  };
  if (!opened) return fail(why);
  {
    Statement check(db, "PRAGMA quick_check");
    if (!check.Ok() || check.Step() != SQLITE_ROW) return fail(DbError(db));
    if (check.Text(0) != "ok") return fail("damaged: " + check.Text(0));
  }
  if (!store->InTransaction(
          [&](std::string* e) { return Exec(db, kSchema, e) && MigrateSchema(db, e); }, &why)) {
    return fail(why);
  }
  return store;
}

SqliteRecordStore::SqliteRecordStore(sqlite3* db, std::string path)
    : m_db(db), m_path(std::move(path)) {}

SqliteRecordStore::~SqliteRecordStore() { sqlite3_close_v2(m_db); }

template <typename Body>
bool SqliteRecordStore::InTransaction(Body body, std::string* error) {
  // IMMEDIATE takes the write lock at once: two stations never both read the
  // same counter and then both write it.
  if (!Exec(m_db, "BEGIN IMMEDIATE", error)) return false;
  if (body(error) && Exec(m_db, "COMMIT", error)) return true;
  Exec(m_db, "ROLLBACK", nullptr);
  return false;
}

bool SqliteRecordStore::SettleDeadSessions(const std::string& host, const std::string& now,
                                           std::vector<SpentSerial>* spent, std::string* error) {
  std::vector<std::int64_t> dead;
  {
    Statement open(m_db,
                   "SELECT id, pid, process_start FROM sessions "
                   "WHERE ended_at IS NULL AND host = ?");
    open.Bind(1, host);
    while (open.Step() == SQLITE_ROW) {
      if (!SessionAlive(open.Int(1), open.OptionalInt(2))) dead.push_back(open.Int(0));
    }
  }
  for (const std::int64_t session : dead) {
    Statement list(m_db,
                   "SELECT s.serial, s.unit_id, COALESCE(u.port, '') FROM serials s "
                   "LEFT JOIN units u ON u.id = s.unit_id "
                   "WHERE s.session_id = ? AND s.state = ?");
    list.Bind(1, session).Bind(2, SerialState::kReserved);
    while (list.Step() == SQLITE_ROW) {
      if (spent) spent->push_back({list.Text(0), list.Int(1), list.Text(2)});
    }
    Statement serials(m_db,
                      "UPDATE serials SET state = ?, updated_at = ? "
                      "WHERE session_id = ? AND state = ?");
    serials.Bind(1, SerialState::kSpent).Bind(2, now).Bind(3, session);
    serials.Bind(4, SerialState::kReserved);
    Statement units(m_db,
                    "UPDATE units SET outcome = ?, ended_at = ?, message = ? "
                    "WHERE session_id = ? AND outcome = ?");
    units.Bind(1, UnitOutcome::kInterrupted).Bind(2, now).Bind(3, std::string(kInterruptedMessage));
    units.Bind(4, session).Bind(5, UnitOutcome::kRunning);
    Statement end(m_db, "UPDATE sessions SET ended_at = ?, end_reason = 'died' WHERE id = ?");
    end.Bind(1, now).Bind(2, session);
    if (!serials.Run(error) || !units.Run(error) || !end.Run(error)) return false;
  }
  return true;
}

bool SqliteRecordStore::BeginSession(const StationIdentity& station,
                                     std::vector<SpentSerial>* spent, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::string host = HostName();
  const std::string now = UtcNowIso8601();
  return InTransaction(
      [&](std::string* e) {
        if (!SettleDeadSessions(host, now, spent, e)) return false;
        Statement insert(m_db,
                         "INSERT INTO sessions(station, host, pid, started_at, process_start) "
                         "VALUES(?, ?, ?, ?, ?)");
        insert.Bind(1, station.m_name).Bind(2, host).Bind(3, ProcessId()).Bind(4, now);
        insert.Bind(5, ProcessStartTime(ProcessId()));
        if (!insert.Run(e)) return false;
        m_session = sqlite3_last_insert_rowid(m_db);
        return true;
      },
      error);
}

void SqliteRecordStore::EndSession() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_session == 0) return;
  Statement end(m_db, "UPDATE sessions SET ended_at = ?, end_reason = 'ended' WHERE id = ?");
  end.Bind(1, UtcNowIso8601()).Bind(2, m_session);
  end.Run(nullptr);
  m_session = 0;
}

bool SqliteRecordStore::InsertUnit(UnitRecord* r, std::string* error) {
  Statement s(
      m_db,
      "INSERT INTO units(session_id, started_at, ended_at, station, port, device, "
      "version_before, cur_before, version_after, cur_after, image_path, image_size, "
      "image_sha256, serial, outcome, status_code, status_text, bytes, duration_ms, "
      "tool_version, backup_file, message) "
      "VALUES(?, ?, NULLIF(?, ''), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  s.Bind(1, m_session).Bind(2, r->m_startedAt).Bind(3, r->m_endedAt).Bind(4, r->m_station);
  s.Bind(5, r->m_port).Bind(6, r->m_device).Bind(7, r->m_versionBefore).Bind(8, r->m_curBefore);
  s.Bind(9, r->m_versionAfter).Bind(10, r->m_curAfter).Bind(11, r->m_imagePath);
  s.Bind(12, r->m_imageSize).Bind(13, r->m_imageSha256).Bind(14, r->m_serial);
  s.Bind(15, r->m_outcome).Bind(16, static_cast<std::int64_t>(r->m_statusCode));
  s.Bind(17, r->m_statusText).Bind(18, r->m_bytes).Bind(19, r->m_durationMs);
  s.Bind(20, r->m_toolVersion).Bind(21, r->m_backupFile).Bind(22, r->m_message);
  if (!s.Run(error)) return false;
  r->m_id = sqlite3_last_insert_rowid(m_db);
  return true;
}

/// The serials table and the format counters, for ReserveSerial, inside the
/// transaction of StartUnit.
class SqliteRecordStore::Ledger : public SerialLedger {
 public:
  Ledger(sqlite3* db, std::int64_t unitId, std::int64_t session)
      : m_db(db), m_unitId(unitId), m_session(session), m_now(UtcNowIso8601()) {}

  Take Reserve(const std::string& key, const std::string& serial, std::string* error) override {
    Statement insert(m_db,
                     "INSERT INTO serials(serial, series, state, unit_id, session_id, updated_at) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(serial) DO UPDATE SET "
                     "state = ?3, unit_id = excluded.unit_id, "
                     "session_id = excluded.session_id, updated_at = excluded.updated_at "
                     "WHERE serials.state = ?7");
    insert.Bind(1, serial).Bind(2, key).Bind(3, SerialState::kReserved).Bind(4, m_unitId);
    insert.Bind(5, m_session).Bind(6, m_now).Bind(7, SerialState::kFree);
    if (!insert.Run(error)) return Take::kFailedToAsk;
    return sqlite3_changes(m_db) == 1 ? Take::kTaken : Take::kHandedOut;
  }
  bool FirstFree(const std::string& key, std::string* serial, std::string* error) override {
    Statement free(m_db,
                   "SELECT serial FROM serials WHERE series = ? AND state = ? "
                   "ORDER BY rowid LIMIT 1");
    free.Bind(1, key).Bind(2, SerialState::kFree);
    return RowText(free, serial, error);
  }
  bool Counter(const std::string& key, std::uint64_t* next, std::string* error) override {
    Statement counter(m_db, "SELECT next FROM counters WHERE series = ?");
    counter.Bind(1, key);
    const int rc = counter.Step();
    *next = rc == SQLITE_ROW ? static_cast<std::uint64_t>(counter.Int(0)) : 0;
    return Done(rc, error);
  }
  bool SetCounter(const std::string& key, std::uint64_t next, std::string* error) override {
    Statement counter(m_db,
                      "INSERT INTO counters(series, next) VALUES(?, ?) "
                      "ON CONFLICT(series) DO UPDATE SET next = excluded.next");
    counter.Bind(1, key).Bind(2, static_cast<std::int64_t>(next));
    return counter.Run(error);
  }

 private:
  /// The first column of the one row, or empty when there is none.
  bool RowText(Statement& s, std::string* text, std::string* error) {
    const int rc = s.Step();
    *text = rc == SQLITE_ROW ? s.Text(0) : "";
    return Done(rc, error);
  }
  bool Done(int rc, std::string* error) {
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
    if (error) *error = DbError(m_db);
    return false;
  }

  sqlite3* m_db;
  std::int64_t m_unitId;
  std::int64_t m_session;
  std::string m_now;
};

bool SqliteRecordStore::StartUnit(UnitRecord* record, const SerialSeries* series,
                                  std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  UnitRecord draft = *record;
  const bool ok = InTransaction(
      [&](std::string* e) {
        draft.m_serial.clear();
        if (!InsertUnit(&draft, e)) return false;
        if (!series) return true;
        Ledger ledger(m_db, draft.m_id, m_session);
        if (!ReserveSerial(*series, ledger, &draft.m_serial, e)) return false;
        Statement s(m_db, "UPDATE units SET serial = ? WHERE id = ?");
        s.Bind(1, draft.m_serial).Bind(2, draft.m_id);
        return s.Run(e);
      },
      error);
  if (ok) *record = draft;
  return ok;
}

bool SqliteRecordStore::FinishUnit(const UnitRecord& r, SerialFate fate, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return InTransaction(
      [&](std::string* e) {
        Statement s(m_db,
                    "UPDATE units SET ended_at = ?, version_after = ?, cur_after = ?, outcome = ?, "
                    "status_code = ?, status_text = ?, bytes = ?, duration_ms = ?, "
                    "backup_file = ?, message = ? WHERE id = ?");
        s.Bind(1, r.m_endedAt).Bind(2, r.m_versionAfter).Bind(3, r.m_curAfter);
        s.Bind(4, r.m_outcome).Bind(5, static_cast<std::int64_t>(r.m_statusCode));
        s.Bind(6, r.m_statusText).Bind(7, r.m_bytes).Bind(8, r.m_durationMs);
        s.Bind(9, r.m_backupFile).Bind(10, r.m_message).Bind(11, r.m_id);
        if (!s.Run(e)) return false;
        if (r.m_serial.empty()) return true;
        // Whatever another station's start made of it meanwhile ("spent"), the
        // unit's own end is the truth.
        Statement serial(m_db,
                         "UPDATE serials SET state = ?, updated_at = ? WHERE serial = ? AND "
                         "unit_id = ?");
        serial.Bind(1, SerialStateAfter(fate)).Bind(2, r.m_endedAt).Bind(3, r.m_serial);
        serial.Bind(4, r.m_id);
        return serial.Run(e);
      },
      error);
}

bool SqliteRecordStore::AddUnit(UnitRecord* record, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return InTransaction([&](std::string* e) { return InsertUnit(record, e); }, error);
}

std::optional<std::vector<UnitRecord>> SqliteRecordStore::Units(const std::string& since,
                                                                std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ReadUnits(since, error);
}

std::optional<std::vector<UnitRecord>> SqliteRecordStore::ReadUnits(const std::string& since,
                                                                    std::string* error) {
  const std::string sql = std::string("SELECT ") + kUnitColumns +
                          " FROM units WHERE started_at >= ? ORDER BY started_at, id";
  Statement s(m_db, sql.c_str());
  if (!s.Ok()) {
    if (error) *error = DbError(m_db);
    return std::nullopt;
  }
  s.Bind(1, since);
  std::vector<UnitRecord> units;
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    std::optional<UnitRecord> unit = ReadUnit(s, error);
    if (!unit) return std::nullopt;
    units.push_back(std::move(*unit));
  }
  if (rc != SQLITE_DONE) {
    if (error) *error = DbError(m_db);
    return std::nullopt;
  }
  return units;
}

std::optional<SerialState> SqliteRecordStore::ReadSerialState(const std::string& serial,
                                                              std::string* error) {
  Statement get(m_db, "SELECT state FROM serials WHERE serial = ?");
  get.Bind(1, serial);
  const int rc = get.Step();
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) {
    if (error) *error = DbError(m_db);
    return std::nullopt;
  }
  const std::optional<SerialState> state = SerialStateFromWord(get.Text(0));
  if (!state && error)
    *error = "serial \"" + serial + "\" has an unknown state \"" + get.Text(0) + "\"";
  return state;
}

bool SqliteRecordStore::ReleaseSerial(const std::string& serial, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return InTransaction(
      [&](std::string* e) {
        std::string why;
        const std::optional<SerialState> state = ReadSerialState(serial, &why);
        if (const auto refusal = ReleaseRefusal(serial, state, why)) {
          *e = *refusal;
          return false;
        }
        Statement set(m_db, "UPDATE serials SET state = ?, updated_at = ? WHERE serial = ?");
        set.Bind(1, SerialState::kFree).Bind(2, UtcNowIso8601()).Bind(3, serial);
        return set.Run(e);
      },
      error);
}

std::optional<SerialState> SqliteRecordStore::StateOfSerial(const std::string& serial,
                                                            std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ReadSerialState(serial, error);
}

bool SqliteRecordStore::ReadContents(StoreContents* contents, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // One read transaction: one snapshot of the whole file.
  if (!Exec(m_db, "BEGIN", error)) return false;
  const bool ok = ReadAll(contents, error);
  Exec(m_db, "COMMIT", nullptr);
  return ok;
}

bool SqliteRecordStore::ReadAll(StoreContents* contents, std::string* error) {
  std::optional<std::vector<UnitRecord>> units = ReadUnits("", error);
  if (!units) return false;
  contents->m_units = std::move(*units);
  const auto fail = [&] {
    if (error) *error = DbError(m_db);
    return false;
  };
  int rc;
  Statement serials(
      m_db, "SELECT serial, series, state, COALESCE(unit_id, 0) FROM serials ORDER BY rowid");
  while ((rc = serials.Step()) == SQLITE_ROW) {
    const std::optional<SerialState> state = SerialStateFromWord(serials.Text(2));
    if (!state) {
      if (error) {
        *error =
            "serial \"" + serials.Text(0) + "\" has an unknown state \"" + serials.Text(2) + "\"";
      }
      return false;
    }
    contents->m_serials.push_back({serials.Text(0), serials.Text(1), *state, serials.Int(3)});
  }
  if (rc != SQLITE_DONE) return fail();
  Statement counters(m_db, "SELECT series, next FROM counters ORDER BY series");
  while ((rc = counters.Step()) == SQLITE_ROW) {
    contents->m_counters.emplace_back(counters.Text(0),
                                      static_cast<std::uint64_t>(counters.Int(1)));
  }
  if (rc != SQLITE_DONE) return fail();
  Statement origin(m_db, "SELECT host, pid, started_at FROM sessions ORDER BY id LIMIT 1");
  rc = origin.Step();
  if (rc == SQLITE_ROW) {
    contents->m_origin =
        origin.Text(0) + "/" + std::to_string(origin.Int(1)) + "/" + origin.Text(2);
  } else if (rc != SQLITE_DONE) {
    return fail();
  }
  return true;
}

}  // namespace tessarin
