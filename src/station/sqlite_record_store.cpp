#include "station/sqlite_record_store.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/process.h"

namespace tessarin {

namespace {

// Waits this long for another station's transaction before giving up.
constexpr int kBusyTimeoutMs = 10000;
// Format counters never search further than this for a free serial.
constexpr int kSearchMax = 1000000;

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS sessions(
  id INTEGER PRIMARY KEY, station TEXT NOT NULL, host TEXT NOT NULL, pid INTEGER NOT NULL,
  started_at TEXT NOT NULL, ended_at TEXT, end_reason TEXT);
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

std::string DbError(sqlite3* db) { return sqlite3_errmsg(db); }

/// One prepared statement; finalised by the destructor.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : m_db(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) m_stmt = nullptr;
  }
  ~Statement() { sqlite3_finalize(m_stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return m_stmt != nullptr; }
  Statement& Bind(int index, const std::string& text) {
    sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(m_stmt, index, value);
    return *this;
  }
  /// SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
  /// Runs a statement that returns no rows.
  bool Run(std::string* error) {
    if (Step() == SQLITE_DONE) return true;
    if (error) *error = DbError(m_db);
    return false;
  }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt = nullptr;
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message ? message : DbError(db);
  sqlite3_free(message);
  return false;
}

UnitRecord ReadUnit(const Statement& s) {
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
  r.m_outcome = s.Text(14);
  r.m_statusCode = static_cast<int>(s.Int(15));
  r.m_statusText = s.Text(16);
  r.m_bytes = s.Int(17);
  r.m_durationMs = s.Int(18);
  r.m_toolVersion = s.Text(19);
  r.m_backupFile = s.Text(20);
  r.m_message = s.Text(21);
  return r;
}

const char* FateState(SerialFate fate) {
  switch (fate) {
    case SerialFate::kUsed:
      return "used";
    case SerialFate::kSpent:
      return "failed";
    case SerialFate::kReturned:
      return "free";
  }
  return "failed";
}

}  // namespace

std::string UtcNowIso8601() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day ymd(day);
  const hh_mm_ss<milliseconds> time(now - day);
  char text[40];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ldZ", static_cast<int>(ymd.year()),
      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
      static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
      static_cast<long>(time.seconds().count()), static_cast<long>(time.subseconds().count()));
  return text;
}

std::optional<std::string> NormaliseSinceTime(const std::string& text, std::string* error) {
  // Shapes accepted, by position: digits (d), the one separator, and the rest literal.
  std::string t = text;
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
  if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
  const std::string shape = "dddd-dd-ddTdd:dd:dd";
  const bool lengthOk = t.size() == 10 || t.size() == 13 || t.size() == 16 || t.size() == 19;
  bool ok = lengthOk;
  for (std::size_t i = 0; ok && i < t.size(); ++i) {
    ok = shape[i] == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == shape[i];
  }
  if (!ok) {
    if (error) {
      *error = "--since \"" + text +
               "\": expected a UTC time such as 2026-12-08, 2026-12-08T14:00 or "
               "2026-12-08T14:00:05Z";
    }
    return std::nullopt;
  }
  return t;
}

std::unique_ptr<SqliteRecordStore> SqliteRecordStore::Open(const std::string& path,
                                                           std::string* error) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  std::unique_ptr<SqliteRecordStore> store(new SqliteRecordStore(db, path));
  const auto fail = [&](const std::string& why) {
    if (error) *error = "record store " + path + ": " + why;
    return nullptr;
  };
  if (rc != SQLITE_OK) return fail(db ? DbError(db) : "out of memory");
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  std::string why;
  // WAL lets exports read while stations write; FULL makes each commit durable
  // at once, so a reserved serial is on disk before its burn begins.
  if (!Exec(db, "PRAGMA journal_mode=WAL", &why) || !Exec(db, "PRAGMA synchronous=FULL", &why)) {
    return fail(why + "; is it an SQLite database?");
  }
  {
    Statement check(db, "PRAGMA quick_check");
    if (!check.Ok() || check.Step() != SQLITE_ROW) return fail(DbError(db));
    if (check.Text(0) != "ok") return fail("damaged: " + check.Text(0));
  }
  if (!store->InTransaction([&](std::string* e) { return Exec(db, kSchema, e); }, &why)) {
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

bool SqliteRecordStore::BeginSession(const std::string& station, std::vector<SpentSerial>* spent,
                                     std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::string host = HostName();
  const std::string now = UtcNowIso8601();
  return InTransaction(
      [&](std::string* e) {
        std::vector<std::int64_t> dead;
        {
          Statement open(m_db, "SELECT id, pid FROM sessions WHERE ended_at IS NULL AND host = ?");
          open.Bind(1, host);
          while (open.Step() == SQLITE_ROW) {
            if (!ProcessRunning(open.Int(1))) dead.push_back(open.Int(0));
          }
        }
        for (const std::int64_t session : dead) {
          Statement list(m_db,
                         "SELECT s.serial, s.unit_id, COALESCE(u.port, '') FROM serials s "
                         "LEFT JOIN units u ON u.id = s.unit_id "
                         "WHERE s.session_id = ? AND s.state = 'reserved'");
          list.Bind(1, session);
          while (list.Step() == SQLITE_ROW) {
            if (spent) spent->push_back({list.Text(0), list.Int(1), list.Text(2)});
          }
          Statement serials(m_db,
                            "UPDATE serials SET state = 'spent', updated_at = ? "
                            "WHERE session_id = ? AND state = 'reserved'");
          serials.Bind(1, now).Bind(2, session);
          Statement units(m_db,
                          "UPDATE units SET outcome = 'interrupted', ended_at = ?, message = "
                          "'the station ended before this unit was finished; its serial is "
                          "spent' WHERE session_id = ? AND outcome = 'running'");
          units.Bind(1, now).Bind(2, session);
          Statement end(m_db, "UPDATE sessions SET ended_at = ?, end_reason = 'died' WHERE id = ?");
          end.Bind(1, now).Bind(2, session);
          if (!serials.Run(e) || !units.Run(e) || !end.Run(e)) return false;
        }
        Statement insert(m_db,
                         "INSERT INTO sessions(station, host, pid, started_at) VALUES(?, ?, ?, ?)");
        insert.Bind(1, station).Bind(2, host).Bind(3, ProcessId()).Bind(4, now);
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

bool SqliteRecordStore::ReserveSerial(const UnitRecord& record, const SerialSeries& series,
                                      std::string* serial, std::string* error) {
  const std::string key = series.Key();
  const std::string now = UtcNowIso8601();
  const auto take = [&](const std::string& candidate) -> int {  // 1 taken, 0 not, -1 error
    Statement insert(m_db,
                     "INSERT INTO serials(serial, series, state, unit_id, session_id, updated_at) "
                     "VALUES(?, ?, 'reserved', ?, ?, ?) ON CONFLICT(serial) DO UPDATE SET "
                     "state = 'reserved', unit_id = excluded.unit_id, "
                     "session_id = excluded.session_id, updated_at = excluded.updated_at "
                     "WHERE serials.state = 'free'");
    insert.Bind(1, candidate).Bind(2, key).Bind(3, record.m_id).Bind(4, m_session).Bind(5, now);
    if (!insert.Run(error)) return -1;
    return sqlite3_changes(m_db) == 1 ? 1 : 0;
  };
  if (!series.m_format) {
    for (const std::string& candidate : series.m_list) {
      const int taken = take(candidate);
      if (taken < 0) return false;
      if (taken == 1) {
        *serial = candidate;
        return true;
      }
    }
    if (error) {
      *error = "every serial of " + series.m_listFile +
               " is taken; add serials to the list (or release spent ones)";
    }
    return false;
  }
  {
    // A serial given back (a burn that ended before its descriptor) goes first.
    Statement returned(m_db,
                       "SELECT serial FROM serials WHERE series = ? AND state = 'free' "
                       "ORDER BY rowid LIMIT 1");
    returned.Bind(1, key);
    if (returned.Step() == SQLITE_ROW) {
      const std::string candidate = returned.Text(0);
      if (take(candidate) == 1) {
        *serial = candidate;
        return true;
      }
    }
  }
  std::uint64_t next = series.m_start;
  {
    Statement counter(m_db, "SELECT next FROM counters WHERE series = ?");
    counter.Bind(1, key);
    if (counter.Step() == SQLITE_ROW) {
      next = std::max<std::uint64_t>(next, static_cast<std::uint64_t>(counter.Int(0)));
    }
  }
  for (int i = 0; i < kSearchMax; ++i, ++next) {
    const std::string candidate = series.m_format->Format(next);
    std::string why;
    if (!CheckSerial(candidate, &why)) {
      if (error) *error = "--serial-format: " + why;
      return false;
    }
    const int taken = take(candidate);
    if (taken < 0) return false;
    if (taken == 0) continue;  // handed out before, e.g. by a list or another format
    Statement counter(m_db,
                      "INSERT INTO counters(series, next) VALUES(?, ?) "
                      "ON CONFLICT(series) DO UPDATE SET next = excluded.next");
    counter.Bind(1, key).Bind(2, static_cast<std::int64_t>(next + 1));
    if (!counter.Run(error)) return false;
    *serial = candidate;
    return true;
  }
  if (error) *error = "no free serial within a million numbers of " + series.m_format->Text();
  return false;
}

bool SqliteRecordStore::StartUnit(UnitRecord* record, const SerialSeries* series,
                                  std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  UnitRecord draft = *record;
  const bool ok = InTransaction(
      [&](std::string* e) {
        draft.m_serial.clear();
        if (!InsertUnit(&draft, e)) return false;
        if (!series) return true;
        if (!ReserveSerial(draft, *series, &draft.m_serial, e)) return false;
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
        serial.Bind(1, FateState(fate)).Bind(2, r.m_endedAt).Bind(3, r.m_serial).Bind(4, r.m_id);
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
  while ((rc = s.Step()) == SQLITE_ROW) units.push_back(ReadUnit(s));
  if (rc != SQLITE_DONE) {
    if (error) *error = DbError(m_db);
    return std::nullopt;
  }
  return units;
}

bool SqliteRecordStore::ReleaseSerial(const std::string& serial, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return InTransaction(
      [&](std::string* e) {
        Statement get(m_db, "SELECT state FROM serials WHERE serial = ?");
        get.Bind(1, serial);
        if (get.Step() != SQLITE_ROW) {
          *e = "serial \"" + serial + "\" was never handed out by this store";
          return false;
        }
        const std::string state = get.Text(0);
        if (state == "free") {
          *e = "serial \"" + serial + "\" is free already: no unit keeps it";
          return false;
        }
        if (state == "reserved" || state == "used") {
          *e = "serial \"" + serial + "\" is " +
               (state == "used" ? "on a unit that passed" : "reserved by a running burn") +
               "; only a spent or failed serial can be released";
          return false;
        }
        Statement set(m_db, "UPDATE serials SET state = 'free', updated_at = ? WHERE serial = ?");
        set.Bind(1, UtcNowIso8601()).Bind(2, serial);
        return set.Run(e);
      },
      error);
}

std::string SqliteRecordStore::SerialState(const std::string& serial, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Statement get(m_db, "SELECT state FROM serials WHERE serial = ?");
  get.Bind(1, serial);
  const int rc = get.Step();
  if (rc == SQLITE_ROW) return get.Text(0);
  if (rc != SQLITE_DONE && error) *error = DbError(m_db);
  return "";
}

}  // namespace tessarin
