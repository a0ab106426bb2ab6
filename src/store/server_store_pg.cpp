// The server store on PostgreSQL.
#include <filesystem>

#include "store/pg_record_store.h"
#include "store/server_store.h"
#include "store/sqlite_record_store.h"

namespace tessarin {

std::unique_ptr<RecordStore> OpenServerStore(const std::string& location,
                                             const std::string& journal, std::string* error) {
  PgRecordStore::Options options;
  options.m_journal = journal;
  return PgRecordStore::Open(location, options, error);
}

bool ImportIntoServerStore(const std::string& file, const std::string& location,
                           ImportSummary* summary, std::string* error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    if (error) *error = "no record store at " + file;
    return false;
  }
  auto source = SqliteRecordStore::Open(file, error);
  if (!source) return false;
  StoreContents contents;
  if (!source->ReadContents(&contents, error)) {
    if (error) *error = "record store " + file + ": " + *error;
    return false;
  }
  auto target = PgRecordStore::Open(location, {}, error);
  if (!target) return false;
  return target->Import(contents, file, summary, error);
}

}  // namespace tessarin
