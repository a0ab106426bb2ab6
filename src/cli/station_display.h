// How the station shows what it does: on a terminal one line per slot,
// redrawn in place, and a summary line; in a pipe one line per event; with
// --json one JSON object per event.
#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>

#include "cli/progress.h"
#include "station/slot_board.h"
#include "station/station.h"

namespace tessarin {

/// A display for one station run that shows what `board` holds: a watcher of
/// the board (SlotBoard::AddWatcher), told of each event after the board
/// applied it. The board must outlive the display.
std::unique_ptr<StationEvents> CreateStationDisplay(ProgressStyle style, std::ostream& out,
                                                    int columns, const SlotBoard& board);

/// "port-1  Downloading...  45% [#########...........]  KS-000001  00:02", fitted to `columns`.
std::string FormatSlotLine(const std::string& port, const std::string& state, long count,
                           long total, const std::string& serial, double seconds, int columns);
/// "passed 3  failed 1  stopped 0  refused 2  120.5 units/h  01:05"
std::string FormatSummaryLine(const StationSummary& summary);

}  // namespace tessarin
