#include "store/result_journal.h"

#include <sqlite3.h>

#include <cstdio>
#include <random>
#include <utility>

#include "station/record_time.h"
#include "store/sqlite_statement.h"
#include "store/store_rules.h"

namespace tessarin {

namespace {

constexpr std::pair<SerialFate, const char*> kFateWords[] = {
    {SerialFate::kUsed, "used"},
    {SerialFate::kFailed, "failed"},
    {SerialFate::kReturned, "returned"},
};

const char* FateWord(SerialFate fate) {
  for (const auto& [item, word] : kFateWords) {
    if (item == fate) return word;
  }
  return "failed";
}

std::optional<SerialFate> FateFromWord(const std::string& word) {
  for (const auto& [item, text] : kFateWords) {
    if (word == text) return item;
  }
  return std::nullopt;
}

std::string Schema() {
  std::string columns;
  for (const char* name : kUnitColumnNames) columns += std::string(", ") + name + " TEXT";
  return "CREATE TABLE IF NOT EXISTS journal(id TEXT NOT NULL);"
         "CREATE TABLE IF NOT EXISTS results(seq INTEGER PRIMARY KEY AUTOINCREMENT, "
         "store_id TEXT NOT NULL, kind TEXT NOT NULL, fate TEXT NOT NULL, unit_id INTEGER NOT "
         "NULL, kept_at TEXT NOT NULL" +
         columns + ");";
}

/// 128 random bits in hex: a name no other journal has.
std::string RandomName() {
  std::random_device random;
  char text[40];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
  return text;
}

}  // namespace

std::unique_ptr<ResultJournal> ResultJournal::Open(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  std::string why;
  const bool opened = OpenDurable(path, 0, &db, &why);
  std::unique_ptr<ResultJournal> journal(new ResultJournal(db, path));
  const auto fail = [&](const std::string& reason) {
    if (error) *error = "journal " + path + ": " + reason;
    return nullptr;
  };
  if (!opened) return fail(why);
  if (!Exec(db, "BEGIN IMMEDIATE", &why)) return fail(why);
  bool ok = Exec(db, Schema().c_str(), &why);
  if (ok) {
    Statement name(db, "INSERT INTO journal(id) SELECT ? WHERE NOT EXISTS (SELECT 1 FROM journal)");
    name.Bind(1, RandomName());
    ok = name.Run(&why);
  }
  if (ok) {
    Statement name(db, "SELECT id FROM journal LIMIT 1");
    ok = name.Step() == SQLITE_ROW;
    if (ok) journal->m_id = name.Text(0);
    if (!ok) why = DbError(db);
  }
  if (!ok || !Exec(db, "COMMIT", &why)) {
    Exec(db, "ROLLBACK", nullptr);
    return fail(why);
  }
  return journal;
}

ResultJournal::~ResultJournal() { sqlite3_close_v2(m_db); }

bool ResultJournal::Keep(const std::string& storeId, Kind kind, const UnitRecord& unit,
                         SerialFate fate, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string sql = "INSERT INTO results(store_id, kind, fate, unit_id, kept_at, " +
                    UnitColumnList() + ") VALUES(?, ?, ?, ?, ?";
  for (std::size_t i = 0; i < kUnitColumnNames.size(); ++i) sql += ", ?";
  sql += ")";
  Statement insert(m_db, sql.c_str());
  insert.Bind(1, storeId).Bind(2, std::string(kind == Kind::kFinish ? "finish" : "add"));
  insert.Bind(3, std::string(FateWord(fate))).Bind(4, unit.m_id).Bind(5, UtcNowIso8601());
  int index = 6;
  for (const std::string& text : UnitColumnTexts(unit)) insert.Bind(index++, text);
  if (insert.Run(error)) return true;
  if (error) *error = "journal " + m_path + ": " + *error;
  return false;
}

std::optional<std::vector<ResultJournal::Entry>> ResultJournal::Kept(const std::string& storeId,
                                                                     std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::string sql = "SELECT seq, kind, fate, unit_id, " + UnitColumnList() +
                          " FROM results WHERE store_id = ? ORDER BY seq";
  Statement select(m_db, sql.c_str());
  select.Bind(1, storeId);
  std::vector<Entry> entries;
  int rc;
  while ((rc = select.Step()) == SQLITE_ROW) {
    Entry entry;
    entry.m_seq = select.Int(0);
    entry.m_kind = select.Text(1) == "finish" ? Kind::kFinish : Kind::kAdd;
    entry.m_fate = FateFromWord(select.Text(2)).value_or(SerialFate::kFailed);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < kUnitColumnNames.size(); ++i) {
      texts.push_back(select.Text(static_cast<int>(4 + i)));
    }
    std::optional<UnitRecord> unit = UnitFromColumnTexts(select.Int(3), texts, error);
    if (!unit) {
      if (error) *error = "journal " + m_path + ": " + *error;
      return std::nullopt;
    }
    entry.m_unit = std::move(*unit);
    entry.m_key = m_id + "-" + std::to_string(entry.m_seq);
    entries.push_back(std::move(entry));
  }
  if (rc != SQLITE_DONE) {
    if (error) *error = "journal " + m_path + ": " + DbError(m_db);
    return std::nullopt;
  }
  return entries;
}

bool ResultJournal::Forget(std::int64_t seq, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Statement remove(m_db, "DELETE FROM results WHERE seq = ?");
  remove.Bind(1, seq);
  return remove.Run(error);
}

std::int64_t ResultJournal::Count(const std::string& storeId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Statement count(m_db, "SELECT count(*) FROM results WHERE store_id = ?");
  count.Bind(1, storeId);
  return count.Step() == SQLITE_ROW ? count.Int(0) : -1;
}

}  // namespace tessarin
