// What a server store could not write while its server was away: the ends of
// units and the units never burned, kept in a small SQLite file on the
// station (each one synchronised to disk before the call that kept it
// returns) until they are written to the server.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/record_store.h"

struct sqlite3;

namespace tessarin {

class ResultJournal {
 public:
  enum class Kind {
    kFinish,  ///< FinishUnit of a unit the server holds (the record's m_id is the server's)
    kAdd,     ///< AddUnit: a unit never burned
  };
  struct Entry {
    std::int64_t m_seq = 0;  ///< this journal's number of the entry
    Kind m_kind = Kind::kAdd;
    SerialFate m_fate = SerialFate::kReturned;  ///< kFinish only
    UnitRecord m_unit;
    /// Names the entry in every store and journal, so that a store that is
    /// handed the same entry twice can tell.
    std::string m_key;
  };

  /// Opens (creating when missing) the journal at `path`. Null with the
  /// reason in *error. Several stations on one machine may share one file.
  static std::unique_ptr<ResultJournal> Open(const std::string& path, std::string* error);
  ~ResultJournal();
  ResultJournal(const ResultJournal&) = delete;
  ResultJournal& operator=(const ResultJournal&) = delete;

  /// Keeps a result for the store named `storeId`; on disk when it returns
  /// true. False with the reason in *error.
  bool Keep(const std::string& storeId, Kind kind, const UnitRecord& unit, SerialFate fate,
            std::string* error);
  /// The results kept for `storeId`, oldest first; null with the reason.
  std::optional<std::vector<Entry>> Kept(const std::string& storeId, std::string* error);
  /// Forgets an entry once its store wrote it.
  bool Forget(std::int64_t seq, std::string* error);
  /// How many results wait for `storeId`; -1 when the file cannot be read.
  std::int64_t Count(const std::string& storeId);
  const std::string& Path() const { return m_path; }

 private:
  ResultJournal(sqlite3* db, std::string path) : m_db(db), m_path(std::move(path)) {}

  std::mutex m_mutex;  // one statement at a time on the one connection
  sqlite3* m_db;
  std::string m_path;
  std::string m_id;  // this journal's own name, in every entry's key
};

}  // namespace tessarin
