// The board's event stream: each connected client gets the station's events
// through a bounded queue of its own, filled by the board's watcher, which
// never waits for a client. A client that falls too far behind is dropped
// (its page reconnects and starts again from a snapshot).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "station/slot_board.h"
#include "station/station.h"

namespace tessarin {

/// One message of the stream, framed as a server-sent event. The text of a
/// station event is made once, by the first client that sends it, never on
/// the station's thread.
class StreamMessage {
 public:
  virtual ~StreamMessage() = default;
  virtual const std::string& Text() const = 0;
};
using SharedStreamMessage = std::shared_ptr<const StreamMessage>;

/// "event: NAME\ndata: DATA\n\n" (without the event line when `name` is
/// empty); `data` is one line.
std::string SseFrame(const std::string& name, const std::string& data);

class EventHub : public StationEvents {
 public:
  struct Limits {
    std::size_t m_queue = 4096;               ///< messages a client may lag behind
    std::chrono::milliseconds m_gather{100};  ///< a client takes at most once per this
  };
  class Client;

  /// Watches `board`: add it to the board (AddWatcher) before the board's
  /// first event.
  EventHub(const SlotBoard& board, Limits limits);
  ~EventHub() override;
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  /// Queues the event for every client that joined before the board applied
  /// it. Takes only the hub's lock and the board's; never blocks on a client.
  void OnEvent(const StationEvent& event) override;

  /// A new client and, in *snapshot, the board as it was when it joined: the
  /// client gets exactly the events the snapshot does not hold. *units is
  /// what PublishUnits gave last. Null once the hub is closed.
  std::shared_ptr<Client> Join(SlotBoardSnapshot* snapshot, nlohmann::ordered_json* units);
  void Leave(const std::shared_ptr<Client>& client);

  /// Keeps `units` (the `units` message) for the clients that join later and
  /// queues it for those connected.
  void PublishUnits(nlohmann::ordered_json units);
  nlohmann::ordered_json Units() const;

  enum class Took {
    kSome,     ///< *out holds what was queued; empty when `wait` passed first
    kDropped,  ///< the client fell too far behind and is to end now
    kEnded,    ///< the hub closed and the client has taken everything
  };
  /// Waits until the client has messages (at most `wait`; never sooner than
  /// the gather time after its last take) and moves them to *out.
  Took Take(Client& client, std::vector<SharedStreamMessage>* out, std::chrono::milliseconds wait);

  /// No client joins from now on; each gets what is queued for it, then ends.
  void Close();

  std::size_t Clients() const;
  /// Clients dropped for falling behind, since the start.
  std::uint64_t Dropped() const;

 private:
  void Push(Client& client, const SharedStreamMessage& message);

  const SlotBoard& m_board;
  const Limits m_limits;
  mutable std::mutex m_mutex;  // guards what follows and every client's state
  std::vector<std::shared_ptr<Client>> m_clients;
  std::uint64_t m_received = 0;  // events the board told the hub of
  std::uint64_t m_dropped = 0;
  bool m_closed = false;
  nlohmann::ordered_json m_units;
};

}  // namespace tessarin
