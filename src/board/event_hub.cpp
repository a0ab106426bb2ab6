#include "board/event_hub.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <utility>

#include "board/board_json.h"

namespace tessarin {

namespace {

class TextMessage : public StreamMessage {
 public:
  explicit TextMessage(std::string text) : m_text(std::move(text)) {}
  const std::string& Text() const override { return m_text; }

 private:
  std::string m_text;
};

/// A station event and its slot as the board held it; framed when first sent.
class EventMessage : public StreamMessage {
 public:
  EventMessage(const StationEvent& event, SlotView slot)
      : m_event(event), m_slot(std::move(slot)) {}
  const std::string& Text() const override {
    std::call_once(m_once,
                   [this] { m_text = SseFrame("", JsonLine(StationEventJson(m_event, m_slot))); });
    return m_text;
  }

 private:
  const StationEvent m_event;
  const SlotView m_slot;
  mutable std::once_flag m_once;
  mutable std::string m_text;
};

}  // namespace

class EventHub::Client {
 public:
  std::deque<SharedStreamMessage> m_queue;
  std::uint64_t m_skip = 0;  // events its snapshot held that the hub had not yet seen
  bool m_dropped = false;
  bool m_waiting = false;  // in Take, waiting for a message
  std::condition_variable m_wake;
  std::chrono::steady_clock::time_point m_lastTake;
};

std::string SseFrame(const std::string& name, const std::string& data) {
  std::string frame;
  frame.reserve(name.size() + data.size() + 16);
  if (!name.empty()) frame += "event: " + name + "\n";
  frame += "data: ";
  frame += data;
  frame += "\n\n";
  return frame;
}

EventHub::EventHub(const SlotBoard& board, Limits limits)
    : m_board(board), m_limits(limits), m_units(nlohmann::ordered_json::object()) {}

EventHub::~EventHub() = default;

void EventHub::OnEvent(const StationEvent& event) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_received;
  SharedStreamMessage message;
  for (const auto& client : m_clients) {
    if (client->m_skip > 0) {
      --client->m_skip;
      continue;
    }
    if (client->m_dropped) continue;
    if (!message) message = std::make_shared<EventMessage>(event, EventSlot(event, m_board));
    Push(*client, message);
  }
}

void EventHub::Push(Client& client, const SharedStreamMessage& message) {
  if (client.m_queue.size() >= m_limits.m_queue) {
    // It fell too far behind: it ends and starts again from a snapshot.
    client.m_dropped = true;
    client.m_queue.clear();
    ++m_dropped;
    client.m_wake.notify_one();
    return;
  }
  client.m_queue.push_back(message);
  if (client.m_waiting) {
    client.m_waiting = false;
    client.m_wake.notify_one();
  }
}

std::shared_ptr<EventHub::Client> EventHub::Join(SlotBoardSnapshot* snapshot,
                                                 nlohmann::ordered_json* units) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) return nullptr;
  *snapshot = m_board.Snapshot();
  *units = m_units;
  auto client = std::make_shared<Client>();
  // The board tells its watchers of an event after it applied it: the
  // snapshot may hold one the hub is about to be told of.
  client->m_skip = snapshot->m_events > m_received ? snapshot->m_events - m_received : 0;
  m_clients.push_back(client);
  return client;
}

void EventHub::Leave(const std::shared_ptr<Client>& client) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
}

void EventHub::PublishUnits(nlohmann::ordered_json units) {
  const auto message = std::make_shared<TextMessage>(SseFrame("units", JsonLine(units)));
  std::lock_guard<std::mutex> lock(m_mutex);
  m_units = std::move(units);
  for (const auto& client : m_clients) {
    if (!client->m_dropped) Push(*client, message);
  }
}

nlohmann::ordered_json EventHub::Units() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_units;
}

EventHub::Took EventHub::Take(Client& client, std::vector<SharedStreamMessage>* out,
                              std::chrono::milliseconds wait) {
  out->clear();
  std::unique_lock<std::mutex> lock(m_mutex);
  const auto ends = [&] { return client.m_dropped || m_closed; };
  client.m_wake.wait_until(lock, client.m_lastTake + m_limits.m_gather, ends);
  if (client.m_queue.empty() && !ends()) {
    client.m_waiting = true;
    client.m_wake.wait_for(lock, wait, [&] { return !client.m_queue.empty() || ends(); });
    client.m_waiting = false;
  }
  if (client.m_dropped) return Took::kDropped;
  if (m_closed && client.m_queue.empty()) return Took::kEnded;
  out->assign(std::make_move_iterator(client.m_queue.begin()),
              std::make_move_iterator(client.m_queue.end()));
  client.m_queue.clear();
  client.m_lastTake = std::chrono::steady_clock::now();
  return Took::kSome;
}

void EventHub::Close() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closed = true;
  for (const auto& client : m_clients) client->m_wake.notify_one();
}

std::size_t EventHub::Clients() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_clients.size();
}

std::uint64_t EventHub::Dropped() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_dropped;
}

}  // namespace tessarin
