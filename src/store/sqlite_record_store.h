// The record store in one SQLite file: WAL journal, every change a real
// transaction synchronised to disk, so records survive a crash or power cut
// and can be read with the sqlite3 shell while stations run.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "station/record_store.h"
#include "store/store_rules.h"

struct sqlite3;

namespace tessarin {

/// Stations that share the file run on one machine: a session records its
/// host and process id, and a session whose process no longer runs on this
/// host is a station that died.
class SqliteRecordStore : public RecordStore {
 public:
  /// Opens (creating when missing) the store at `path`. Null with the reason
  /// in *error: the file cannot be opened, is no SQLite database, or is
  /// damaged (the integrity check fails).
  static std::unique_ptr<SqliteRecordStore> Open(const std::string& path, std::string* error);
  ~SqliteRecordStore() override;

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

  /// Everything the file holds, read in one transaction, to copy it into
  /// another store. False with the reason in *error.
  bool ReadContents(StoreContents* contents, std::string* error);

 private:
  class Ledger;
  explicit SqliteRecordStore(sqlite3* db, std::string path);
  /// Runs `body` inside BEGIN IMMEDIATE ... COMMIT; rolls back when it fails.
  template <typename Body>
  bool InTransaction(Body body, std::string* error);
  bool InsertUnit(UnitRecord* record, std::string* error);
  /// Settles the sessions of this host whose process is gone.
  bool SettleDeadSessions(const std::string& host, const std::string& now,
                          std::vector<SpentSerial>* spent, std::string* error);
  std::optional<SerialState> ReadSerialState(const std::string& serial, std::string* error);
  std::optional<std::vector<UnitRecord>> ReadUnits(const std::string& since, std::string* error);
  bool ReadAll(StoreContents* contents, std::string* error);

  std::mutex m_mutex;  // one transaction at a time on the one connection
  sqlite3* m_db;
  std::string m_path;
  std::int64_t m_session = 0;
};

}  // namespace tessarin
