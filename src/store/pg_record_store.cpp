#include "store/pg_record_store.h"

#include <algorithm>
#include <map>
#include <random>
#include <utility>

#include "platform/process.h"
#include "station/record_time.h"
#include "store/open_record_store.h"

namespace tessarin {

namespace {

// The first key of every advisory lock the stores take ("TESS"); the second
// is a session's id, or 0 for the schema's creation and migrations.
constexpr int kLockSpace = 0x54455353;
constexpr std::string_view kLockSpaceText = "1413829459";

// The server's time as the records write it.
constexpr char kServerNow[] =
    "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
constexpr char kServerEpochMs[] = "(extract(epoch FROM clock_timestamp()) * 1000)::bigint";

// The tables of each schema version, in order; a fresh database gets all of
// them, an older one those after its version. Times are text in UTC ISO 8601
// and compare as bytes ("C"), as the file store's do.
struct Migration {
  int m_version;
  const char* m_sql;
};
constexpr Migration kMigrations[] = {
    {1, R"(
CREATE TABLE sessions(
  id serial PRIMARY KEY, station text NOT NULL, host text NOT NULL, pid bigint NOT NULL,
  backend_pid integer NOT NULL, started_at text COLLATE "C" NOT NULL,
  ended_at text COLLATE "C", end_reason text);
CREATE TABLE units(
  id bigserial PRIMARY KEY, session_id integer, origin_key text UNIQUE,
  started_at text COLLATE "C" NOT NULL, ended_at text COLLATE "C",
  station text, port text, device text, version_before text, cur_before text,
  version_after text, cur_after text, image_path text, image_size bigint, image_sha256 text,
  serial text COLLATE "C", outcome text NOT NULL, status_code bigint, status_text text,
  bytes bigint, duration_ms bigint, tool_version text, backup_file text, message text);
CREATE INDEX units_started ON units(started_at, id);
CREATE INDEX units_running ON units(session_id) WHERE outcome = 'running';
CREATE TABLE serials(
  serial text COLLATE "C" PRIMARY KEY, seq bigserial NOT NULL, series text NOT NULL,
  state text NOT NULL, unit_id bigint, session_id integer, updated_at text COLLATE "C" NOT NULL);
CREATE INDEX serials_free ON serials(series, seq) WHERE state = 'free';
CREATE INDEX serials_reserved ON serials(session_id) WHERE state = 'reserved';
CREATE TABLE counters(series text PRIMARY KEY, next bigint NOT NULL);
)"},
};

// The tables a fresh database must not hold already: they would be
// another program's.
constexpr const char* kTables[] = {"sessions", "units", "serials", "counters"};

std::string IdArray(const std::vector<std::int64_t>& ids) {
  std::string text = "{";
  for (std::int64_t id : ids) text += (text.size() > 1 ? "," : "") + std::to_string(id);
  return text + "}";
}

std::string TextArray(const std::vector<std::string>& texts) {
  std::string array = "{";
  for (const std::string& text : texts) {
    if (array.size() > 1) array += ',';
    array += '"';
    for (char c : text) {
      if (c == '"' || c == '\\') array += '\\';
      array += c;
    }
    array += '"';
  }
  return array + "}";
}

PgParam Id(std::int64_t id) { return id == 0 ? PgParam() : PgParam(std::to_string(id)); }

constexpr char kUnquotable[] = "a value of the record is not text the server can take";

// A unit's end, and its serial's: whatever another station's settling made
// of the serial meanwhile ("spent"), the unit's own end is the truth.
const std::string kFinishUnitSql =
    "UPDATE units SET ended_at = NULLIF($1, ''), version_after = $2, cur_after = $3, "
    "outcome = $4, status_code = $5, status_text = $6, bytes = $7, duration_ms = $8, "
    "backup_file = $9, message = $10 WHERE id = $11";
const std::string kFinishSerialSql = std::string("UPDATE serials SET state = $1, updated_at = ") +
                                     kServerNow + " WHERE serial = $2 AND unit_id = $3";

std::vector<PgParam> FinishUnitParams(const UnitRecord& r) {
  return {r.m_endedAt,
          r.m_versionAfter,
          r.m_curAfter,
          OutcomeWord(r.m_outcome),
          std::to_string(r.m_statusCode),
          r.m_statusText,
          std::to_string(r.m_bytes),
          std::to_string(r.m_durationMs),
          r.m_backupFile,
          r.m_message,
          std::to_string(r.m_id)};
}

std::vector<PgParam> FinishSerialParams(const UnitRecord& r, SerialFate fate) {
  return {SerialStateWord(SerialStateAfter(fate)), r.m_serial, std::to_string(r.m_id)};
}

/// "INSERT INTO units(session_id, origin_key, <columns>) VALUES(...)": the
/// session is $1, the origin $2, the columns from $3 on (an empty end is NULL).
std::string InsertUnitSql() {
  std::string values;
  for (std::size_t i = 0; i < kUnitColumnNames.size(); ++i) {
    const std::string param = std::string("$") + std::to_string(i + 3);
    values += ", ";
    values +=
        std::string_view(kUnitColumnNames[i]) == "ended_at" ? "NULLIF(" + param + ", '')" : param;
  }
  return "INSERT INTO units(session_id, origin_key, " + UnitColumnList() +
         ") VALUES($1, NULLIF($2, '')" + values + ")";
}

std::vector<PgParam> InsertUnitParams(std::int64_t session, const std::string& origin,
                                      const UnitRecord& record) {
  std::vector<PgParam> params = {Id(session), origin};
  for (std::string& text : UnitColumnTexts(record)) params.emplace_back(std::move(text));
  return params;
}

}  // namespace

PgRecordStore::PgRecordStore(std::string location, Options options)
    : m_location(std::move(location)), m_options(std::move(options)) {}

std::unique_ptr<PgRecordStore> PgRecordStore::Open(const std::string& location,
                                                   const Options& options, std::string* error) {
  std::string why;
  auto conn = PgConnection::Connect(location, &why);
  const std::string named = "record store " + ShownLocation(location) + ": ";
  if (!conn) {
    if (error) *error = named + why;
    return nullptr;
  }
  std::unique_ptr<PgRecordStore> store(new PgRecordStore(location, options));
  if (!store->Prepare(*conn, true, &why)) {
    if (error) *error = named + why;
    return nullptr;
  }
  if (!options.m_journal.empty()) {
    store->m_journal = ResultJournal::Open(options.m_journal, error);
    if (!store->m_journal) return nullptr;
  }
  store->m_conn = std::move(conn);
  store->m_reconnector = std::thread([raw = store.get()] { raw->Reconnect(); });
  return store;
}

PgRecordStore::~PgRecordStore() {
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_reconnector.joinable()) m_reconnector.join();
}

bool PgRecordStore::Prepare(PgConnection& conn, bool create, std::string* error) {
  // Each commit is durable on the server before the call returns, whatever
  // the server's default; a station whose connection went silent is found
  // dead by the server within about half a minute (TCP only).
  const PgResult settings = conn.Exec(
      "SET synchronous_commit = on; SET client_min_messages = warning; "
      "SET tcp_keepalives_idle = 10; SET tcp_keepalives_interval = 5; "
      "SET tcp_keepalives_count = 3");
  if (!settings.Ok()) {
    if (error) *error = conn.ErrorOf(settings);
    return false;
  }
  if (create) {
    if (!EnsureSchema(conn, error)) return false;
  } else {
    // Another program may have migrated the schema meanwhile, or the
    // database be another one now.
    const PgResult schema = conn.Exec("SELECT version, store_id FROM tessarin_schema");
    if (!schema.Ok() || schema.Rows() != 1) {
      if (error) *error = schema.Ok() ? "the record tables are gone" : conn.ErrorOf(schema);
      return false;
    }
    if (schema.Int(0, 0) > kSchemaVersion) {
      if (error) *error = "the record tables were changed to a newer version meanwhile";
      return false;
    }
    if (schema.Text(0, 1) != m_storeId) {
      if (error) {
        *error = "the database holds another record store than the one this station started on";
      }
      return false;
    }
  }
  ReadClock(conn);
  return true;
}

bool PgRecordStore::EnsureSchema(PgConnection& conn, std::string* error) {
  const auto fail = [&](const std::string& why) {
    conn.Exec("ROLLBACK");
    if (error) *error = why;
    return false;
  };
  const auto run = [&](const std::string& sql, const std::vector<PgParam>& params = {}) {
    PgResult result = conn.Exec(sql, params);
    if (!result.Ok()) fail(conn.ErrorOf(result));
    return result;
  };
  if (!run("BEGIN").Ok()) return false;
  // Stations that start at once on a fresh database create it once.
  if (!run("SELECT pg_advisory_xact_lock(" + std::string(kLockSpaceText) + ", 0)").Ok()) {
    return false;
  }
  const PgResult exists = run("SELECT to_regclass('tessarin_schema') IS NOT NULL");
  if (!exists.Ok()) return false;
  int from = 0;
  if (exists.Text(0, 0) == "t") {
    const PgResult schema = run("SELECT version, store_id FROM tessarin_schema");
    if (!schema.Ok()) return false;
    if (schema.Rows() != 1) return fail("the table tessarin_schema does not hold one version");
    from = static_cast<int>(schema.Int(0, 0));
    if (from > kSchemaVersion) {
      return fail("the record tables are of schema version " + std::to_string(from) +
                  ", newer than this program knows (" + std::to_string(kSchemaVersion) +
                  "): update tessarin-cli on this station to the version the other stations run");
    }
    m_storeId = schema.Text(0, 1);
  } else {
    for (const char* table : kTables) {
      const PgResult found = run("SELECT to_regclass($1) IS NOT NULL", {std::string(table)});
      if (!found.Ok()) return false;
      if (found.Text(0, 0) == "t") {
        return fail("the database holds a table \"" + std::string(table) +
                    "\" but no tessarin_schema: it is not a record store; give the stations a "
                    "database (or schema) of their own");
      }
    }
    // The store's name, so that results kept on a station go to this store
    // only.
    if (!run("CREATE TABLE tessarin_schema(version integer NOT NULL, store_id text NOT NULL, "
             "created_at text NOT NULL, migrated_at text NOT NULL)")
             .Ok()) {
      return false;
    }
    const PgResult created = run(
        "INSERT INTO tessarin_schema SELECT 0, md5(random()::text || clock_timestamp()::text || "
        "pg_backend_pid()::text), " +
        std::string(kServerNow) + ", " + kServerNow + " RETURNING store_id");
    if (!created.Ok()) return false;
    m_storeId = created.Text(0, 0);
  }
  for (const Migration& migration : kMigrations) {
    if (migration.m_version <= from) continue;
    if (!run(migration.m_sql).Ok()) return false;
  }
  if (from < kSchemaVersion &&
      !run("UPDATE tessarin_schema SET version = $1, migrated_at = " + std::string(kServerNow),
           {std::to_string(kSchemaVersion)})
           .Ok()) {
    return false;
  }
  return run("COMMIT").Ok();
}

void PgRecordStore::ReadClock(PgConnection& conn) {
  const auto before = std::chrono::steady_clock::now();
  const PgResult now = conn.Exec(std::string("SELECT ") + kServerEpochMs);
  const auto after = std::chrono::steady_clock::now();
  if (now.Ok() && now.Rows() == 1) SetClock(now.Int(0, 0), before + (after - before) / 2);
}

void PgRecordStore::SetClock(std::int64_t serverMs, std::chrono::steady_clock::time_point at) {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  m_serverAnchor = std::chrono::system_clock::time_point(std::chrono::milliseconds(serverMs));
  m_steadyAnchor = at;
  m_anchored = true;
}

std::string PgRecordStore::Now() {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  if (!m_anchored) return UtcNowIso8601();
  // The server's clock as last read, carried on by this machine's steady
  // clock: its own clock may be off, and may be set while the station runs.
  const auto since = std::chrono::steady_clock::now() - m_steadyAnchor;
  return UtcIso8601(m_serverAnchor +
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

std::string PgRecordStore::Inline(const std::string& sql, const std::vector<PgParam>& params,
                                  bool* ok) {
  std::optional<std::string> inlined = m_conn->Inline(sql, params);
  if (!inlined) *ok = false;
  return inlined.value_or("");
}

PgResult PgRecordStore::Query(const std::string& sql, const std::vector<PgParam>& params) {
  PgResult result = m_conn->Exec(sql, params);
  if (!result.Ok()) {
    m_lastLost = m_conn->Lost(result);
    m_lastState = result.SqlState();
  }
  return result;
}

bool PgRecordStore::Check(const PgResult& result, std::string* error) {
  if (result.Ok()) return true;
  if (error) *error = m_conn->ErrorOf(result);
  return false;
}

template <typename Body>
PgRecordStore::Outcome PgRecordStore::InTransaction(Body body, std::string* error,
                                                    bool bodyBegins) {
  if (!m_conn) {
    std::string why;
    Available(&why);
    if (error) *error = StoreUnavailableError(why);
    return Outcome::kLost;
  }
  for (int attempt = 0;; ++attempt) {
    m_lastLost = false;
    m_lastState.clear();
    std::string why;
    bool ok = (bodyBegins || Check(Query("BEGIN"), &why)) && body(&why);
    if (ok && !bodyBegins) ok = Check(Query("COMMIT"), &why);
    if (ok) return Outcome::kDone;
    if (m_lastLost) {
      // Whether a COMMIT that got no answer took effect is unknown: the
      // caller treats the call as not made (a unit is not burned; a result
      // is kept to be written again, which changes nothing the second time).
      DropConnection(why);
      if (error) *error = StoreUnavailableError(why);
      return Outcome::kLost;
    }
    const std::string state = m_lastState;
    if (!Query("ROLLBACK").Ok() && m_lastLost) {
      DropConnection(why);
      if (error) *error = StoreUnavailableError(why);
      return Outcome::kLost;
    }
    // Deadlocks and serialisation failures end in no change: try again.
    if ((state == "40P01" || state == "40001") && attempt < 3) continue;
    if (error) *error = why;
    return Outcome::kFailed;
  }
}

void PgRecordStore::DropConnection(const std::string& why) {
  m_conn.reset();
  if (m_session != 0) m_lostSession = m_session;
  m_session = 0;
  SetAvailable(false, why);
}

void PgRecordStore::SetAvailable(bool available, const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_available = available;
    m_outage = available ? "" : "the server cannot be reached (" + why + "); reconnecting";
  }
  m_wake.notify_all();
}

bool PgRecordStore::Available(std::string* why) {
  std::lock_guard<std::mutex> lock(m_stateMutex);
  if (!m_available && why) *why = m_outage;
  return m_available;
}

std::string PgRecordStore::Pending() {
  if (!m_journal) return "";
  const std::int64_t count = m_journal->Count(m_storeId);
  if (count == 0) return "";
  if (count < 0) return "the journal " + m_journal->Path() + " cannot be read";
  return std::to_string(count) + (count == 1 ? " result waits" : " results wait") +
         " in the journal " + m_journal->Path() +
         " to be written to the server; the next station started with this journal writes "
         "them";
}

void PgRecordStore::Reconnect() {
  std::minstd_rand random(std::random_device{}());
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_stateMutex);
      m_wake.wait(lock, [this] { return m_stopping || !m_available; });
      if (m_stopping) return;
    }
    auto delay = m_options.m_firstRetry;
    for (;;) {
      // A random part keeps stations that lost the server together from
      // knocking at once when it is back.
      const auto jitter = std::chrono::milliseconds(random() % (delay.count() / 4 + 1));
      {
        std::unique_lock<std::mutex> lock(m_stateMutex);
        if (m_wake.wait_for(lock, delay + jitter, [this] { return m_stopping; })) return;
      }
      delay = std::min(delay * 2, m_options.m_longestRetry);
      std::string why;
      auto conn = PgConnection::Connect(m_location, &why);
      if (conn && !Prepare(*conn, false, &why)) conn.reset();
      if (!conn) {
        SetAvailable(false, why);
        continue;
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      m_conn = std::move(conn);
      // The results kept meanwhile first, then a session anew.
      if (Replay(&why) == Outcome::kLost) continue;
      if (m_inSession && !OpenSession(m_lostSession, nullptr, &why)) {
        if (m_conn) DropConnection(why);
        continue;
      }
      m_lostSession = 0;
      SetAvailable(true, "");
      break;
    }
  }
}

bool PgRecordStore::SettleDeadSessions(std::int64_t except, std::vector<SpentSerial>* spent,
                                       std::string* error) {
  // A session whose lock this transaction can take is held by no
  // connection: its station is gone.
  const PgResult dead = Query(
      "SELECT id FROM sessions WHERE ended_at IS NULL AND id <> $1 AND "
      "pg_try_advisory_xact_lock(" +
          std::string(kLockSpaceText) + ", id) ORDER BY id",
      {std::to_string(except)});
  if (!Check(dead, error)) return false;
  if (dead.Rows() == 0) return true;
  std::vector<std::int64_t> ids;
  for (int row = 0; row < dead.Rows(); ++row) ids.push_back(dead.Int(row, 0));
  const std::string array = IdArray(ids);
  const std::string reserved = SerialStateWord(SerialState::kReserved);
  const PgResult listed = Query(
      "SELECT s.serial, COALESCE(s.unit_id, 0), COALESCE(u.port, '') FROM serials s "
      "LEFT JOIN units u ON u.id = s.unit_id "
      "WHERE s.session_id = ANY($1::integer[]) AND s.state = $2 ORDER BY s.seq",
      {array, reserved});
  if (!Check(listed, error)) return false;
  for (int row = 0; spent && row < listed.Rows(); ++row) {
    spent->push_back({listed.Text(row, 0), listed.Int(row, 1), listed.Text(row, 2)});
  }
  return Check(Query("UPDATE serials SET state = $1, updated_at = " + std::string(kServerNow) +
                         " WHERE session_id = ANY($2::integer[]) AND state = $3",
                     {SerialStateWord(SerialState::kSpent), array, reserved}),
               error) &&
         Check(Query("UPDATE units SET outcome = $1, ended_at = " + std::string(kServerNow) +
                         ", message = $2 WHERE session_id = ANY($3::integer[]) AND outcome = $4",
                     {OutcomeWord(UnitOutcome::kInterrupted), std::string(kInterruptedMessage),
                      array, OutcomeWord(UnitOutcome::kRunning)}),
               error) &&
         Check(Query("UPDATE sessions SET ended_at = " + std::string(kServerNow) +
                         ", end_reason = 'died' WHERE id = ANY($1::integer[])",
                     {array}),
               error);
}

bool PgRecordStore::OpenSession(std::int64_t previous, std::vector<SpentSerial>* spent,
                                std::string* error) {
  std::int64_t session = 0;
  const Outcome outcome = InTransaction(
      [&](std::string* e) {
        const PgResult inserted = Query(
            "INSERT INTO sessions(station, host, pid, backend_pid, started_at) "
            "VALUES($1, $2, $3, $4, " +
                std::string(kServerNow) + ") RETURNING id",
            {m_station, HostName(), std::to_string(ProcessId()),
             std::to_string(m_conn->BackendPid())});
        if (!Check(inserted, e)) return false;
        session = inserted.Int(0, 0);
        // Held for as long as this connection lives, whatever becomes of
        // the transaction.
        const PgResult locked =
            Query("SELECT pg_try_advisory_lock(" + std::string(kLockSpaceText) + ", $1::integer)",
                  {std::to_string(session)});
        if (!Check(locked, e)) return false;
        if (locked.Text(0, 0) != "t") {
          *e = "the lock of a new session is taken";
          return false;
        }
        if (previous != 0) {
          // This station's session before its connection broke: once the
          // server let its lock go, its running units are this session's.
          const PgResult gone = Query(
              "SELECT pg_try_advisory_xact_lock(" + std::string(kLockSpaceText) + ", $1::integer)",
              {std::to_string(previous)});
          if (!Check(gone, e)) return false;
          if (gone.Text(0, 0) == "t") {
            const PgParam now = std::to_string(session);
            const PgParam before = std::to_string(previous);
            if (!Check(Query("UPDATE units SET session_id = $1 WHERE session_id = $2 AND "
                             "outcome = $3",
                             {now, before, OutcomeWord(UnitOutcome::kRunning)}),
                       e) ||
                !Check(Query("UPDATE serials SET session_id = $1 WHERE session_id = $2 AND "
                             "state = $3",
                             {now, before, SerialStateWord(SerialState::kReserved)}),
                       e) ||
                !Check(Query("UPDATE sessions SET ended_at = " + std::string(kServerNow) +
                                 ", end_reason = 'reconnected' WHERE id = $1 AND ended_at IS "
                                 "NULL",
                             {std::to_string(previous)}),
                       e)) {
              return false;
            }
          }
        }
        return SettleDeadSessions(session, spent, e);
      },
      error);
  if (outcome != Outcome::kDone) {
    // The lock stays with the connection even when the transaction failed.
    if (m_conn && session != 0) {
      m_conn->Exec("SELECT pg_advisory_unlock(" + std::string(kLockSpaceText) + ", $1::integer)",
                   {std::to_string(session)});
    }
    return false;
  }
  m_session = session;
  return true;
}

bool PgRecordStore::BeginSession(const StationIdentity& station, std::vector<SpentSerial>* spent,
                                 std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_station = station.m_name;
  std::string why;
  // What an earlier run kept while the server was away is the truth about
  // its units: written before anything is settled.
  if (Replay(&why) == Outcome::kLost) {
    if (error) *error = why;
    return false;
  }
  if (!OpenSession(0, spent, error)) return false;
  m_inSession = true;
  return true;
}

void PgRecordStore::EndSession() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_inSession = false;
  if (!m_conn || m_session == 0) return;
  const std::string session = std::to_string(m_session);
  InTransaction(
      [&](std::string* e) {
        return Check(Query("UPDATE sessions SET ended_at = " + std::string(kServerNow) +
                               ", end_reason = 'ended' WHERE id = $1",
                           {session}),
                     e);
      },
      nullptr);
  if (m_conn) {
    m_conn->Exec("SELECT pg_advisory_unlock(" + std::string(kLockSpaceText) + ", $1::integer)",
                 {session});
  }
  m_session = 0;
}

/// The serials and the format counters, for ReserveSerial, inside the
/// transaction of StartUnit. Rows another station's transaction holds are
/// waited for (or, for the given-back serials, skipped), so no two stations
/// ever take one serial.
class PgRecordStore::Ledger : public SerialLedger {
 public:
  Ledger(PgRecordStore& store, std::int64_t unitId)
      : m_store(store), m_unitId(std::to_string(unitId)) {}

  Take Reserve(const std::string& key, const std::string& serial, std::string* error) override {
    const PgResult taken = m_store.Query(
        "INSERT INTO serials(serial, series, state, unit_id, session_id, updated_at) "
        "VALUES($1, $2, $3, $4, $5, " +
            std::string(kServerNow) +
            ") ON CONFLICT (serial) DO UPDATE SET state = EXCLUDED.state, "
            "unit_id = EXCLUDED.unit_id, session_id = EXCLUDED.session_id, "
            "updated_at = EXCLUDED.updated_at WHERE serials.state = $6",
        {serial, key, SerialStateWord(SerialState::kReserved), m_unitId, Id(m_store.m_session),
         SerialStateWord(SerialState::kFree)});
    if (!m_store.Check(taken, error)) return Take::kFailedToAsk;
    return taken.Changed() == 1 ? Take::kTaken : Take::kHandedOut;
  }
  bool FirstFree(const std::string& key, std::string* serial, std::string* error) override {
    const PgResult free = m_store.Query(
        "SELECT serial FROM serials WHERE series = $1 AND state = $2 ORDER BY seq LIMIT 1 "
        "FOR UPDATE SKIP LOCKED",
        {key, SerialStateWord(SerialState::kFree)});
    if (!m_store.Check(free, error)) return false;
    *serial = free.Rows() == 1 ? free.Text(0, 0) : "";
    return true;
  }
  bool Counter(const std::string& key, std::uint64_t* next, std::string* error) override {
    // Made when missing and locked in one go: every station that goes past
    // the given-back serials of a series queues here first, before it holds
    // any serial, so two never wait for each other's serials.
    const PgResult counter = m_store.Query(
        "INSERT INTO counters(series, next) VALUES($1, 0) ON CONFLICT (series) "
        "DO UPDATE SET next = counters.next RETURNING next",
        {key});
    if (!m_store.Check(counter, error)) return false;
    *next = counter.Rows() == 1 ? static_cast<std::uint64_t>(counter.Int(0, 0)) : 0;
    return true;
  }
  bool SetCounter(const std::string& key, std::uint64_t next, std::string*) override {
    // Written with the unit's serial and the commit, in one round trip: the
    // row is this transaction's since Counter.
    m_counter = {key, next};
    return true;
  }

  /// The statement SetCounter leaves for the end; empty when there is none.
  std::string CounterUpdate(bool* ok) {
    if (!m_counter) return "";
    return m_store.Inline("UPDATE counters SET next = GREATEST(next, $2) WHERE series = $1",
                          {m_counter->first, std::to_string(m_counter->second)}, ok) +
           "; ";
  }

 private:
  std::optional<std::pair<std::string, std::uint64_t>> m_counter;
  PgRecordStore& m_store;
  std::string m_unitId;
};

bool PgRecordStore::StartUnit(UnitRecord* record, const SerialSeries* series, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  UnitRecord draft = *record;
  // Five round trips for a unit with a serial: the transaction's start with
  // the unit, the given-back serial, the counter, the serial, and the end
  // with the counter, the unit's serial and the commit (the counter's row is
  // held for the last three only).
  const Outcome outcome = InTransaction(
      [&](std::string* e) {
        draft.m_serial.clear();
        bool ok = true;
        const std::string insert = Inline(InsertUnitSql() + " RETURNING id, " + kServerEpochMs,
                                          InsertUnitParams(m_session, "", draft), &ok);
        if (!ok) {
          *e = kUnquotable;
          return false;
        }
        const auto before = std::chrono::steady_clock::now();
        const PgResult inserted = Query((series ? "BEGIN; " : "") + insert);
        if (!Check(inserted, e)) return false;
        SetClock(inserted.Int(0, 1), before + (std::chrono::steady_clock::now() - before) / 2);
        draft.m_id = inserted.Int(0, 0);
        if (!series) return true;
        Ledger ledger(*this, draft.m_id);
        if (!ReserveSerial(*series, ledger, &draft.m_serial, e)) return false;
        const std::string end = ledger.CounterUpdate(&ok) +
                                Inline("UPDATE units SET serial = $1 WHERE id = $2",
                                       {draft.m_serial, std::to_string(draft.m_id)}, &ok) +
                                "; COMMIT";
        if (!ok) {
          *e = kUnquotable;
          return false;
        }
        return Check(Query(end), e);
      },
      error, true);
  if (outcome != Outcome::kDone) return false;
  *record = draft;
  return true;
}

bool PgRecordStore::WriteFinish(const UnitRecord& r, SerialFate fate, const std::string& origin,
                                std::string* e) {
  const PgResult updated = Query(kFinishUnitSql, FinishUnitParams(r));
  if (!Check(updated, e)) return false;
  if (updated.Changed() == 0 && !origin.empty()) {
    // A result kept on the station for a unit the server does not hold
    // (it lost it): the whole record, so that none is lost.
    UnitRecord whole = r;
    return WriteAdd(&whole, origin, e);
  }
  if (r.m_serial.empty()) return true;
  return Check(Query(kFinishSerialSql, FinishSerialParams(r, fate)), e);
}

bool PgRecordStore::WriteFinishAtOnce(const UnitRecord& r, SerialFate fate, std::string* e) {
  bool ok = true;
  std::string sql = Inline(kFinishUnitSql, FinishUnitParams(r), &ok);
  if (!r.m_serial.empty()) {
    sql = "BEGIN; " + sql + "; " + Inline(kFinishSerialSql, FinishSerialParams(r, fate), &ok) +
          "; COMMIT";
  }
  if (!ok) {
    *e = kUnquotable;
    return false;
  }
  return Check(Query(sql), e);
}

bool PgRecordStore::WriteAdd(UnitRecord* record, const std::string& origin, std::string* e) {
  // A result written once already (its journal entry's key) is not written
  // twice.
  const PgResult inserted =
      Query(InsertUnitSql() + " ON CONFLICT (origin_key) DO NOTHING RETURNING id",
            InsertUnitParams(m_session, origin, *record));
  if (!Check(inserted, e)) return false;
  record->m_id = inserted.Rows() == 1 ? inserted.Int(0, 0) : 0;
  return true;
}

bool PgRecordStore::Keep(ResultJournal::Kind kind, const UnitRecord& record, SerialFate fate,
                         std::string* error) {
  if (!m_journal) return false;
  std::string why;
  if (m_journal->Keep(m_storeId, kind, record, fate, &why)) return true;
  if (error) *error = why;
  return false;
}

bool PgRecordStore::FinishUnit(const UnitRecord& record, SerialFate fate, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string why;
  const Outcome outcome =
      InTransaction([&](std::string* e) { return WriteFinishAtOnce(record, fate, e); }, &why, true);
  if (outcome == Outcome::kDone) return true;
  if (outcome == Outcome::kFailed || !m_journal) {
    if (error) *error = why;
    return false;
  }
  return Keep(ResultJournal::Kind::kFinish, record, fate, error);
}

bool PgRecordStore::AddUnit(UnitRecord* record, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string why;
  // One statement: a transaction of its own.
  const Outcome outcome =
      InTransaction([&](std::string* e) { return WriteAdd(record, "", e); }, &why, true);
  if (outcome == Outcome::kDone) return true;
  if (outcome == Outcome::kFailed || !m_journal) {
    if (error) *error = why;
    return false;
  }
  record->m_id = 0;
  return Keep(ResultJournal::Kind::kAdd, *record, SerialFate::kReturned, error);
}

PgRecordStore::Outcome PgRecordStore::Replay(std::string* error) {
  if (!m_journal) return Outcome::kDone;
  std::string why;
  // An entry that cannot be written, or a journal that cannot be read, stays
  // for Pending to tell; the store serves on.
  const auto entries = m_journal->Kept(m_storeId, &why);
  if (!entries) {
    if (error) *error = why;
    return Outcome::kDone;
  }
  for (const ResultJournal::Entry& entry : *entries) {
    UnitRecord unit = entry.m_unit;
    const Outcome outcome = InTransaction(
        [&](std::string* e) {
          return entry.m_kind == ResultJournal::Kind::kFinish
                     ? WriteFinish(unit, entry.m_fate, entry.m_key, e)
                     : WriteAdd(&unit, entry.m_key, e);
        },
        &why);
    if (outcome == Outcome::kLost) {
      if (error) *error = why;
      return outcome;
    }
    if (outcome == Outcome::kFailed) {
      if (error) *error = why;
      continue;
    }
    // Written: gone from the journal. Should the station die before this,
    // the entry is written again and changes nothing.
    m_journal->Forget(entry.m_seq, nullptr);
  }
  return Outcome::kDone;
}

std::optional<std::vector<UnitRecord>> PgRecordStore::Units(const std::string& since,
                                                            std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<UnitRecord> units;
  const Outcome outcome = InTransaction(
      [&](std::string* e) {
        const PgResult rows =
            Query("SELECT id, " + UnitColumnList() +
                      " FROM units WHERE started_at >= $1 ORDER BY started_at, id",
                  {since});
        if (!Check(rows, e)) return false;
        units.reserve(static_cast<std::size_t>(rows.Rows()));
        for (int row = 0; row < rows.Rows(); ++row) {
          std::vector<std::string> texts;
          for (std::size_t i = 0; i < kUnitColumnNames.size(); ++i) {
            texts.push_back(rows.Text(row, static_cast<int>(i + 1)));
          }
          std::optional<UnitRecord> unit = UnitFromColumnTexts(rows.Int(row, 0), texts, e);
          if (!unit) return false;
          units.push_back(std::move(*unit));
        }
        return true;
      },
      error);
  if (outcome != Outcome::kDone) return std::nullopt;
  return units;
}

std::optional<SerialState> PgRecordStore::ReadSerialState(const std::string& serial,
                                                          std::string* error) {
  const PgResult state = Query("SELECT state FROM serials WHERE serial = $1", {serial});
  if (!Check(state, error) || state.Rows() == 0) return std::nullopt;
  const std::optional<SerialState> known = SerialStateFromWord(state.Text(0, 0));
  if (!known && error) {
    *error = "serial \"" + serial + "\" has an unknown state \"" + state.Text(0, 0) + "\"";
  }
  return known;
}

bool PgRecordStore::ReleaseSerial(const std::string& serial, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return InTransaction(
             [&](std::string* e) {
               // Locked: a station's reservation of it waits for the release.
               const PgResult locked =
                   Query("SELECT 1 FROM serials WHERE serial = $1 FOR UPDATE", {serial});
               if (!Check(locked, e)) return false;
               std::string why;
               const std::optional<SerialState> state = ReadSerialState(serial, &why);
               if (const auto refusal = ReleaseRefusal(serial, state, why)) {
                 *e = *refusal;
                 return false;
               }
               return Check(Query("UPDATE serials SET state = $1, updated_at = " +
                                      std::string(kServerNow) + " WHERE serial = $2",
                                  {SerialStateWord(SerialState::kFree), serial}),
                            e);
             },
             error) == Outcome::kDone;
}

std::optional<SerialState> PgRecordStore::StateOfSerial(const std::string& serial,
                                                        std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::optional<SerialState> state;
  InTransaction(
      [&](std::string* e) {
        std::string why;
        state = ReadSerialState(serial, &why);
        if (!why.empty()) *e = why;
        return why.empty();
      },
      error);
  return state;
}

bool PgRecordStore::Import(const StoreContents& contents, const std::string& source,
                           ImportSummary* summary, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ImportSummary done;
  const std::string origin = "import:" + contents.m_origin + ":";
  const Outcome outcome = InTransaction(
      [&](std::string* e) {
        if (!contents.m_origin.empty()) {
          const PgResult before =
              Query("SELECT 1 FROM units WHERE left(origin_key, $1) = $2 LIMIT 1",
                    {std::to_string(origin.size()), origin});
          if (!Check(before, e)) return false;
          if (before.Rows() > 0) {
            *e = source + " was copied into this store before: nothing was copied again";
            return false;
          }
        }
        std::vector<std::string> serials;
        for (const StoredSerial& s : contents.m_serials) serials.push_back(s.m_serial);
        const PgResult clashes =
            Query("SELECT serial FROM serials WHERE serial = ANY($1::text[]) ORDER BY serial",
                  {TextArray(serials)});
        if (!Check(clashes, e)) return false;
        if (clashes.Rows() > 0) {
          std::string named;
          for (int row = 0; row < std::min(clashes.Rows(), 10); ++row) {
            named += (row ? ", " : "") + clashes.Text(row, 0);
          }
          if (clashes.Rows() > 10) named += ", ...";
          *e = std::to_string(clashes.Rows()) + " serial" +
               (clashes.Rows() == 1 ? " is" : "s are") + " in both " + source +
               " and the server store (" + named +
               "): nothing was copied; a serial may be on one device only";
          return false;
        }
        const PgResult session = Query(
            "INSERT INTO sessions(station, host, pid, backend_pid, started_at, ended_at, "
            "end_reason) VALUES($1, $2, $3, $4, " +
                std::string(kServerNow) + ", " + kServerNow + ", 'imported') RETURNING id",
            {"import of " + source, HostName(), std::to_string(ProcessId()),
             std::to_string(m_conn->BackendPid())});
        if (!Check(session, e)) return false;
        const std::int64_t sessionId = session.Int(0, 0);
        std::map<std::int64_t, std::int64_t> ids;   // the file's unit id: the server's
        std::map<std::int64_t, std::string> ports;  // by the server's id
        for (UnitRecord unit : contents.m_units) {
          if (unit.m_outcome == UnitOutcome::kRunning) {
            unit.m_outcome = UnitOutcome::kInterrupted;
            unit.m_message = kInterruptedMessage;
          }
          const PgResult inserted =
              Query(InsertUnitSql() + " RETURNING id",
                    InsertUnitParams(sessionId, origin + std::to_string(unit.m_id), unit));
          if (!Check(inserted, e)) return false;
          ids[unit.m_id] = inserted.Int(0, 0);
          ports[inserted.Int(0, 0)] = unit.m_port;
        }
        for (const StoredSerial& s : contents.m_serials) {
          SerialState state = s.m_state;
          const auto id = ids.find(s.m_unitId);
          const std::int64_t unitId = id == ids.end() ? 0 : id->second;
          if (state == SerialState::kReserved) {
            state = SerialState::kSpent;
            done.m_spent.push_back({s.m_serial, unitId, ports[unitId]});
          }
          if (!Check(Query("INSERT INTO serials(serial, series, state, unit_id, session_id, "
                           "updated_at) VALUES($1, $2, $3, $4, $5, " +
                               std::string(kServerNow) + ")",
                           {s.m_serial, s.m_series, SerialStateWord(state), Id(unitId),
                            std::to_string(sessionId)}),
                     e)) {
            return false;
          }
        }
        for (const auto& [series, next] : contents.m_counters) {
          if (!Check(Query("INSERT INTO counters(series, next) VALUES($1, $2) ON CONFLICT "
                           "(series) DO UPDATE SET next = GREATEST(counters.next, "
                           "EXCLUDED.next)",
                           {series, std::to_string(next)}),
                     e)) {
            return false;
          }
        }
        done.m_units = static_cast<std::int64_t>(contents.m_units.size());
        done.m_serials = static_cast<std::int64_t>(contents.m_serials.size());
        done.m_counters = static_cast<std::int64_t>(contents.m_counters.size());
        return true;
      },
      error);
  if (outcome != Outcome::kDone) return false;
  if (summary) *summary = std::move(done);
  return true;
}

}  // namespace tessarin
