#include "store/open_record_store.h"

#include "store/server_store.h"
#include "store/sqlite_record_store.h"

namespace tessarin {

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location,
                                             const RecordStoreOptions& options,
                                             std::string* error) {
  switch (RecordStoreKindOf(location)) {
    case RecordStoreKind::kServer:
      return OpenServerStore(location, options.m_journal, error);
    case RecordStoreKind::kSqliteFile:
      break;
  }
  return SqliteRecordStore::Open(location, error);
}

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location, std::string* error) {
  return OpenRecordStore(location, RecordStoreOptions{}, error);
}

}  // namespace tessarin
