// Which record store a station's --db location names, and opening it.
#pragma once

#include <memory>
#include <string>

#include "station/record_store.h"
#include "store/store_location.h"

namespace tessarin {

/// What a station gives a store besides its location.
struct RecordStoreOptions {
  /// Where a server store keeps the results it cannot write while the server
  /// is away (an SQLite file, created when missing); empty: nowhere, such a
  /// result then fails. A file store needs none.
  std::string m_journal;
};

/// Opens the store at `location` (an SQLite file is created when missing; a
/// server's record tables are created or brought up to this program's
/// version). Null with the reason in *error, which never holds a password;
/// the caller names the option it came from.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location,
                                             const RecordStoreOptions& options, std::string* error);
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& location, std::string* error);

}  // namespace tessarin
