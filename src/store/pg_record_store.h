// The record store on a PostgreSQL server, shared by stations on several
// machines. Every change is one transaction on the server; a serial is
// committed there before its unit's burn begins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/record_store.h"
#include "store/pg_connection.h"
#include "store/result_journal.h"
#include "store/server_store.h"
#include "store/store_rules.h"

namespace tessarin {

/// A station's session holds a session-level advisory lock on the server
/// for as long as its connection lives; a session whose lock nobody holds is
/// one of a station that died or lost its connection, and whichever station
/// finds it settles it. The server's clock stamps the sessions, the serials'
/// changes and (through Now) the units.
///
/// When the connection breaks, the store says so (Available), StartUnit
/// fails with a store-unavailable error, FinishUnit and AddUnit go to the
/// journal on the station, and a thread of the store reconnects with back-off
/// by itself; once connected it writes the journal to the server, takes a
/// new session (adopting the units of its old one) and is available again.
class PgRecordStore : public RecordStore {
 public:
  /// The schema version this program creates and knows.
  static constexpr int kSchemaVersion = 1;

  struct Options {
    std::string m_journal;  ///< the journal's file; empty: none
    std::chrono::milliseconds m_firstRetry{200};
    std::chrono::milliseconds m_longestRetry{5000};
  };

  /// Connects, then creates the record tables (a fresh database) or brings
  /// them up to kSchemaVersion, and opens the journal. Null with the reason in
  /// *error: the server cannot be reached, its schema is newer than this
  /// program's, the database holds tables of something else, the journal
  /// cannot be opened. No password is ever in the reason.
  static std::unique_ptr<PgRecordStore> Open(const std::string& location, const Options& options,
                                             std::string* error);
  /// Closes the connection without ending the session (as a station that
  /// died would): EndSession first for a clean end.
  ~PgRecordStore() override;

  bool BeginSession(const StationIdentity& station, std::vector<SpentSerial>* spent,
                    std::string* error) override;
  void EndSession() override;
  bool StartUnit(UnitRecord* record, const SerialSeries* series, std::string* error) override;
  bool FinishUnit(const UnitRecord& record, SerialFate fate, std::string* error) override;
  bool AddUnit(UnitRecord* record, std::string* error) override;
  std::optional<std::vector<UnitRecord>> Units(const std::string& since,
                                               std::string* error) override;
  bool ReleaseSerial(const std::string& serial, std::string* error) override;
  std::optional<SerialState> StateOfSerial(const std::string& serial, std::string* error) override;
  bool Available(std::string* why) override;
  std::string Pending() override;
  std::string Now() override;

  /// Copies a file store's contents (ImportIntoServerStore's rules) in one
  /// transaction; `source` names the file in the import's session.
  bool Import(const StoreContents& contents, const std::string& source, ImportSummary* summary,
              std::string* error);

 private:
  class Ledger;
  enum class Outcome { kDone, kFailed, kLost };

  PgRecordStore(std::string location, Options options);
  /// What a new connection needs before it serves: its settings, the schema
  /// checked (created or migrated when `create`), the clock read.
  bool Prepare(PgConnection& conn, bool create, std::string* error);
  bool EnsureSchema(PgConnection& conn, std::string* error);
  /// Runs `body` in one transaction on the connection; a deadlock or a
  /// serialisation failure is tried again. kLost when the connection broke
  /// (it is then dropped and the reconnecting thread woken).
  /// `bodyBegins`: the body's statements begin and commit the transaction
  /// themselves (or are one statement), to save round trips.
  template <typename Body>
  Outcome InTransaction(Body body, std::string* error, bool bodyBegins = false);
  /// Runs one statement on the connection; a failure is remembered for
  /// InTransaction. False (with the reason) when it failed.
  PgResult Query(const std::string& sql, const std::vector<PgParam>& params = {});
  bool Check(const PgResult& result, std::string* error);
  /// PgConnection::Inline; *ok false when a value cannot be written in.
  std::string Inline(const std::string& sql, const std::vector<PgParam>& params, bool* ok);
  void DropConnection(const std::string& why);

  bool SettleDeadSessions(std::int64_t except, std::vector<SpentSerial>* spent, std::string* error);
  bool OpenSession(std::int64_t previous, std::vector<SpentSerial>* spent, std::string* error);
  bool WriteFinish(const UnitRecord& record, SerialFate fate, const std::string& origin,
                   std::string* error);
  bool WriteFinishAtOnce(const UnitRecord& record, SerialFate fate, std::string* error);
  bool WriteAdd(UnitRecord* record, const std::string& origin, std::string* error);
  Outcome Replay(std::string* error);
  bool Keep(ResultJournal::Kind kind, const UnitRecord& record, SerialFate fate,
            std::string* error);
  std::optional<SerialState> ReadSerialState(const std::string& serial, std::string* error);
  void ReadClock(PgConnection& conn);
  void SetClock(std::int64_t serverMs, std::chrono::steady_clock::time_point at);

  void Reconnect();
  void SetAvailable(bool available, const std::string& why);

  const std::string m_location;
  const Options m_options;
  std::string m_storeId;  // set by Open, then fixed
  std::unique_ptr<ResultJournal> m_journal;

  std::mutex m_mutex;                    // one transaction at a time; guards what follows
  std::unique_ptr<PgConnection> m_conn;  // null while the server is away
  std::string m_station;
  bool m_inSession = false;        // between BeginSession and EndSession
  std::int64_t m_session = 0;      // this connection's session; 0: none
  std::int64_t m_lostSession = 0;  // the session of the connection that broke
  bool m_lastLost = false;         // the last Query failed because the connection broke
  std::string m_lastState;         // its SQLSTATE

  std::mutex m_stateMutex;  // guards what follows; never held while talking to the server
  bool m_available = true;
  std::string m_outage;
  bool m_stopping = false;
  std::condition_variable m_wake;  // the reconnecting thread waits on it
  bool m_anchored = false;
  std::chrono::system_clock::time_point m_serverAnchor;
  std::chrono::steady_clock::time_point m_steadyAnchor;

  std::thread m_reconnector;
};

}  // namespace tessarin
