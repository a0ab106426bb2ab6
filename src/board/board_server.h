// The station's live board served over HTTP while the station runs: the page
// (GET /), its event stream (GET /events), the whole board as JSON
// (GET /api/state) and the unit records (GET /api/units?since=TIME).
// Read-only: it reads the slot board and the record store, never the burns.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board_access.h"
#include "board/board_json.h"
#include "board/event_hub.h"
#include "station/record_store.h"
#include "station/slot_board.h"
#include "station/station.h"

namespace tessarin {

/// How the board listens and what it allows; the defaults are the station's.
struct BoardOptions {
  BoardAddress m_address;
  std::string m_token;            ///< empty: none given (one is made where the address needs it)
  std::size_t m_maxClients = 32;  ///< connections at once; more get 503
  std::size_t m_headLimit = 16 * 1024;             ///< request line and headers together
  std::chrono::milliseconds m_headTime{10000};     ///< for the whole request head
  std::chrono::milliseconds m_readTimeout{3000};   ///< a connection that sends nothing
  std::chrono::milliseconds m_writeTimeout{2000};  ///< a client that takes nothing
  /// What the system buffers of each connection's sends: a client that stops
  /// reading is noticed once it is full.
  int m_sendBuffer = 64 * 1024;
  EventHub::Limits m_stream;
  /// A comment on a quiet stream, so that a client that vanished is noticed.
  std::chrono::milliseconds m_heartbeat{5000};
  std::chrono::milliseconds m_unitsEvery{500};   ///< the store is read at most this often
  std::chrono::milliseconds m_closeGrace{1000};  ///< for the last events when it stops
  /// The oldest start of the latest units first looked at; empty: a day ago.
  std::string m_unitsSince;
};

class BoardServer {
 public:
  /// `board` and `store` must outlive the server. `serialList`: the serials
  /// of a station that hands out a list (the board counts those left).
  BoardServer(const SlotBoard& board, RecordStore& store, BoardInfo info,
              std::optional<std::vector<std::string>> serialList, BoardOptions options);
  /// Stops first.
  ~BoardServer();
  BoardServer(const BoardServer&) = delete;
  BoardServer& operator=(const BoardServer&) = delete;

  /// What the board watches: add it to the board (SlotBoard::AddWatcher)
  /// before the station runs.
  StationEvents& Watcher();

  /// Listens and serves on threads of its own. False with the reason in
  /// *error when the address cannot be had.
  bool Start(std::string* error);
  /// After Start: the address, port and token the board serves with.
  const BoardAccess& Access() const;

  /// Lets each client take the events queued for it (at most the close
  /// grace), then ends every connection and thread. Once; from the thread
  /// that started it.
  void Stop();

  /// Connections open now.
  std::size_t Connections() const;
  /// Event-stream clients the board ended because they fell behind or
  /// vanished (their queue filled, or a write did not go through in time).
  std::uint64_t DroppedClients() const;

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tessarin
