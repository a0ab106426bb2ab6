// What a record store's --db location names, and the location and messages
// as they may be shown: with every password in them masked.
#pragma once

#include <string>

namespace tessarin {

enum class RecordStoreKind {
  kSqliteFile,  ///< a path: an SQLite file on this machine
  kServer,      ///< a "postgresql://" (or "postgres://") URI or a "key=value ..." string
};

/// The kind of store `location` names. A location whose first word is a
/// connection keyword followed by '=' ("host=db1 dbname=station") is a
/// server's; any other text that is no such URI is a path, also one with a
/// '=' in a file name ("run=3.db").
RecordStoreKind RecordStoreKindOf(const std::string& location);

/// `location` as it may be shown: a password in it (a URI's "user:password@",
/// a "password=" item or parameter) replaced by "***".
std::string ShownLocation(const std::string& location);
/// `text` with every password that `location` holds, and libpq's
/// PGPASSWORD, replaced by "***".
std::string WithoutSecrets(std::string text, const std::string& location);

}  // namespace tessarin
