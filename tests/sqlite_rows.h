// Reads an SQLite store's file directly, as the sqlite3 shell would: what the
// store tests check of the stored words.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <string>

namespace tessarin {

/// The first two columns of every row `sql` gives, the first as the key.
inline std::map<std::string, std::string> SqliteRows(const std::string& db, const char* sql) {
  std::map<std::string, std::string> rows;
  sqlite3* raw = nullptr;
  EXPECT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(raw, sql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
  while (sqlite3_step(s) == SQLITE_ROW) {
    const auto text = [s](int column) {
      const unsigned char* t = sqlite3_column_text(s, column);
      return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    rows[text(0)] = text(1);
  }
  sqlite3_finalize(s);
  sqlite3_close(raw);
  return rows;
}

}  // namespace tessarin
