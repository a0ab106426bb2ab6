// `station --board`: the live board served while the station runs.
#pragma once

#include <memory>

#include "board/board_server.h"
#include "cli/cli_options.h"
#include "cli/console.h"
#include "station/record_store.h"
#include "station/slot_board.h"
#include "station/station.h"

namespace tessarin {

/// A running board and the record store connection of its own that it reads
/// (so that no read of the board's ever waits on the station's writes or
/// holds them up).
struct StationBoard {
  std::unique_ptr<RecordStore> m_store;
  std::unique_ptr<BoardServer> m_server;
};

/// The board --board asks for, watching `board` and serving already; null
/// when none was asked for. Null with *code set (the failure printed) when
/// the options are wrong, the store cannot be opened again or the address
/// cannot be had.
std::unique_ptr<StationBoard> StartStationBoard(const StationOptions& options,
                                                const StationConfig& config, SlotBoard& board,
                                                Console& console, int* code);

/// "Board: http://..." on the output (on the error stream with --json, whose
/// output holds only events). A token the board made is in the URL; one the
/// operator gave is not printed again.
void PrintBoardUrl(const StationBoard& board, const StationOptions& options, Console& console);

}  // namespace tessarin
