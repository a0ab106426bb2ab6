// The record store on a database server (PostgreSQL), where this build has
// one: opening it, and copying a one-bench SQLite file into it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "station/record_store.h"

namespace tessarin {

/// Opens the server store at `location` (a libpq URI or key=value string),
/// keeping results in the SQLite file `journal` while the server is away
/// (empty: nowhere). Null with the reason in *error (never a password); a
/// build without the server store says so.
std::unique_ptr<RecordStore> OpenServerStore(const std::string& location,
                                             const std::string& journal, std::string* error);

/// What a copy of a file store into a server store did.
struct ImportSummary {
  std::int64_t m_units = 0;
  std::int64_t m_serials = 0;
  std::int64_t m_counters = 0;
  /// Serials the file held reserved (its station died or still runs): copied
  /// as spent, their units as interrupted.
  std::vector<SpentSerial> m_spent;
};

/// Copies the SQLite store `file` (units, serials with their states, format
/// counters) into the server store at `location`, in one transaction. Refused,
/// with nothing copied, when a serial of the file is known to the server
/// already (the clashing serials named) or the file was copied before.
/// False with the reason in *error.
bool ImportIntoServerStore(const std::string& file, const std::string& location,
                           ImportSummary* summary, std::string* error);

}  // namespace tessarin
