// A prepared SQLite statement and a plain SQL run: what the SQLite file store
// and the server store's journal on the station share.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

#include "station/record_store.h"

namespace tessarin {

inline std::string DbError(sqlite3* db) { return sqlite3_errmsg(db); }

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
  /// NULL for an empty value.
  Statement& Bind(int index, std::optional<std::int64_t> value) {
    if (value) return Bind(index, *value);
    sqlite3_bind_null(m_stmt, index);
    return *this;
  }
  Statement& Bind(int index, UnitOutcome outcome) { return Bind(index, OutcomeWord(outcome)); }
  Statement& Bind(int index, SerialState state) { return Bind(index, SerialStateWord(state)); }
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
  /// Empty for NULL.
  std::optional<std::int64_t> OptionalInt(int column) const {
    if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL) return std::nullopt;
    return Int(column);
  }

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt = nullptr;
};

inline bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message ? message : DbError(db);
  sqlite3_free(message);
  return false;
}

/// Opens (creating when missing) the SQLite file at `path` as the stores keep
/// theirs: another process's transaction is waited for up to 10 s, WAL lets
/// readers read while one writes, and each commit is on disk when it returns.
/// *db is set (the caller closes it) also when it fails; false with the reason
/// in *why.
inline bool OpenDurable(const std::string& path, int flags, sqlite3** db, std::string* why) {
  constexpr int kBusyTimeoutMs = 10000;
  if (sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | flags,
                      nullptr) != SQLITE_OK) {
    *why = *db ? DbError(*db) : "out of memory";
    return false;
  }
  sqlite3_busy_timeout(*db, kBusyTimeoutMs);
  if (!Exec(*db, "PRAGMA journal_mode=WAL", why) || !Exec(*db, "PRAGMA synchronous=FULL", why)) {
    *why += "; is it an SQLite database?";
    return false;
  }
  return true;
}

}  // namespace tessarin
