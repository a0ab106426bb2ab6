// The server store where this build has no libpq: each call says so.
#include "store/server_store.h"

namespace tessarin {

namespace {

constexpr char kMissing[] =
    "record store: this build has no database server store (it needs libpq at build time), "
    "only an SQLite file";

}  // namespace

std::unique_ptr<RecordStore> OpenServerStore(const std::string&, const std::string&,
                                             std::string* error) {
  if (error) *error = kMissing;
  return nullptr;
}

bool ImportIntoServerStore(const std::string&, const std::string&, ImportSummary*,
                           std::string* error) {
  if (error) *error = kMissing;
  return false;
}

}  // namespace tessarin
