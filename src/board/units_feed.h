// What the board shows from the record store: the station's latest units and
// how many serials of its list are left. Read on the board's own thread,
// never on the station's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "board/board_json.h"
#include "station/record_store.h"

namespace tessarin {

class UnitsFeed {
 public:
  /// The units of `station` that ended, the `keep` that ended last; the
  /// serials left of `serialList` when the station hands out a list (null:
  /// a counter, no finite pool). `since`: the oldest start looked at first
  /// (UTC ISO 8601).
  UnitsFeed(RecordStore& store, std::string station,
            std::optional<std::vector<std::string>> serialList, std::string since,
            std::size_t keep = 10);

  /// Reads the store again. True when what the feed holds changed; on a
  /// store failure it keeps what it held, with the reason in *error.
  bool Refresh(std::string* error);
  const BoardUnits& Units() const { return m_units; }

 private:
  std::optional<std::int64_t> CountSerialsLeft(std::string* error);

  RecordStore& m_store;
  const std::string m_station;
  const std::optional<std::vector<std::string>> m_serialList;
  std::string m_since;
  const std::size_t m_keep;
  BoardUnits m_units;
};

}  // namespace tessarin
