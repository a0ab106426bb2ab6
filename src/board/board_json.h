// The JSON the station gives the line's systems: one object per station event
// (`station --json` and the board's event stream), one per unit record
// (`records --json` and /api/units), and the whole board (/api/state and the
// stream's first message).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "station/record_store.h"
#include "station/slot_board.h"
#include "station/station.h"

namespace tessarin {

/// The object of one station event. `slot` is the event's slot as the board
/// holds it once it applied the event (notices and the summary need none).
nlohmann::json StationEventJson(const StationEvent& event, const SlotView& slot);
/// The slot StationEventJson needs for `event`, read from the board once it
/// applied the event (empty for notices and the summary).
SlotView EventSlot(const StationEvent& event, const SlotBoard& board);

/// The object of one unit record, its fields in the order of the export.
nlohmann::ordered_json UnitJson(const UnitRecord& record);

/// The word of a slot's state: "waiting", "arrived", "burning", "passed",
/// "failed", "stopped", "refused".
const char* SlotStateWord(SlotState state);

/// Port names in the order an operator counts them: "port-2" before
/// "port-10"; digits compare as numbers, the rest as text.
bool PortNameLess(const std::string& a, const std::string& b);

/// One line of JSON text; bytes that are not UTF-8 become U+FFFD.
std::string JsonLine(const nlohmann::json& object);
std::string JsonLine(const nlohmann::ordered_json& object);

/// What the board shows of the station besides its slots, fixed for a run.
struct BoardInfo {
  std::string m_station;    ///< the station's name in the records
  std::string m_imageFile;  ///< the image's file name
  std::string m_imagePath;  ///< absolute
  std::int64_t m_imageSize = 0;
  std::string m_version;  ///< of the image's header; empty when it has none
  std::string m_cur;
  std::string m_sha256;  ///< 64 hex digits
};

/// What the store adds to the board: the station's latest units, newest
/// first, and how many serials of a finite pool are left (null: no pool,
/// or it cannot be counted).
struct BoardUnits {
  std::vector<UnitRecord> m_latest;
  std::optional<std::int64_t> m_serialsLeft;
};

/// The `units` message of the event stream: {"latest": [...], "serialsLeft": N|null}.
nlohmann::ordered_json BoardUnitsJson(const BoardUnits& units);

/// The whole board as one object: station, image, ended, notice, elapsedMs,
/// counters (with serialsLeft), slots (in port order) and latest, the last
/// two from `units` (as BoardUnitsJson gives it). `now` gives the running
/// units' times and the station's rate while it runs.
nlohmann::ordered_json BoardStateJson(const SlotBoardSnapshot& snapshot, const BoardInfo& info,
                                      const nlohmann::ordered_json& units, SlotView::TimePoint now);

}  // namespace tessarin
