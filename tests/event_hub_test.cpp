// The board's event stream: a client gets exactly the events its snapshot
// does not hold, one that falls behind is dropped without the station ever
// waiting, and a closing hub hands out what is queued first.
#include "board/event_hub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>
#include <vector>

namespace tessarin {
namespace {

using namespace std::chrono_literals;
using Took = EventHub::Took;

StationEvent Status(const std::string& port, long count) {
  StationEvent e;
  e.m_kind = StationEventKind::kStatus;
  e.m_port = port;
  e.m_code = 1;
  e.m_text = "Downloading...";
  e.m_count = count;
  e.m_total = 1000000;
  return e;
}

/// The station events among the messages, as their JSON.
std::vector<nlohmann::json> Events(const std::vector<SharedStreamMessage>& messages) {
  std::vector<nlohmann::json> events;
  for (const auto& m : messages) {
    const std::string& text = m->Text();
    if (text.rfind("data: ", 0) != 0) continue;
    events.push_back(nlohmann::json::parse(text.substr(6)));
  }
  return events;
}

/// A watcher that runs `what` while the board tells it of an event: after
/// the board applied the event, before the hub (added after it) hears of it.
class Between : public StationEvents {
 public:
  void OnEvent(const StationEvent&) override {
    if (m_what) std::exchange(m_what, nullptr)();
  }
  std::function<void()> m_what;
};

TEST(EventHub, AClientGetsExactlyTheEventsItsSnapshotDoesNotHold) {
  SlotBoard board;
  Between between;
  EventHub hub(board, {});
  board.AddWatcher(between);
  board.AddWatcher(hub);

  SlotBoardSnapshot early;
  nlohmann::ordered_json units;
  const auto first = hub.Join(&early, &units);
  EXPECT_EQ(early.m_events, 0u);
  board.OnEvent(Status("port-1", 1));

  // Joined while the board told its watchers of event 2.
  SlotBoardSnapshot late;
  std::shared_ptr<EventHub::Client> second;
  between.m_what = [&] { second = hub.Join(&late, &units); };
  board.OnEvent(Status("port-1", 2));
  ASSERT_TRUE(second);
  EXPECT_EQ(late.m_events, 2u);
  EXPECT_EQ(late.m_slots.at(0).m_count, 2);
  board.OnEvent(Status("port-1", 3));

  std::vector<SharedStreamMessage> messages;
  ASSERT_EQ(hub.Take(*first, &messages, 0ms), Took::kSome);
  std::vector<long> counts;
  for (const auto& e : Events(messages)) counts.push_back(e["count"]);
  EXPECT_EQ(counts, (std::vector<long>{1, 2, 3}));

  ASSERT_EQ(hub.Take(*second, &messages, 0ms), Took::kSome);
  counts.clear();
  for (const auto& e : Events(messages)) counts.push_back(e["count"]);
  EXPECT_EQ(counts, (std::vector<long>{3}));

  // The text of an event is the one `station --json` prints.
  EXPECT_EQ(messages.at(0)->Text(),
            "data: {\"code\":1,\"count\":3,\"event\":\"status\",\"port\":\"port-1\",\"serial\":"
            "\"\",\"text\":\"Downloading...\",\"total\":1000000}\n\n");
}

TEST(EventHub, AClientThatFallsBehindIsDroppedAndTheOthersGoOn) {
  SlotBoard board;
  EventHub::Limits limits;
  limits.m_queue = 8;
  limits.m_gather = 0ms;
  EventHub hub(board, limits);
  board.AddWatcher(hub);
  SlotBoardSnapshot snapshot;
  nlohmann::ordered_json units;
  const auto slow = hub.Join(&snapshot, &units);
  const auto quick = hub.Join(&snapshot, &units);
  std::vector<SharedStreamMessage> messages;
  long taken = 0;
  for (long i = 1; i <= 100; ++i) {
    board.OnEvent(Status("port-1", i));
    if (i % 5 == 0) {
      ASSERT_EQ(hub.Take(*quick, &messages, 0ms), Took::kSome);
      taken += static_cast<long>(Events(messages).size());
    }
  }
  EXPECT_EQ(taken, 100);
  EXPECT_EQ(hub.Dropped(), 1u);
  EXPECT_EQ(hub.Take(*slow, &messages, 0ms), Took::kDropped);
  EXPECT_TRUE(messages.empty());
  hub.Leave(slow);
  EXPECT_EQ(hub.Clients(), 1u);
}

TEST(EventHub, UnitsGoToEveryClientAndToThoseThatJoinLater) {
  SlotBoard board;
  EventHub hub(board, {});
  SlotBoardSnapshot snapshot;
  nlohmann::ordered_json units;
  const auto client = hub.Join(&snapshot, &units);
  EXPECT_EQ(units, nlohmann::ordered_json::object());
  hub.PublishUnits({{"latest", nlohmann::ordered_json::array()}, {"serialsLeft", 5}});
  std::vector<SharedStreamMessage> messages;
  ASSERT_EQ(hub.Take(*client, &messages, 0ms), Took::kSome);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->Text(), "event: units\ndata: {\"latest\":[],\"serialsLeft\":5}\n\n");
  const auto later = hub.Join(&snapshot, &units);
  EXPECT_EQ(units["serialsLeft"], 5);
}

TEST(EventHub, AClosedHubHandsOutWhatIsQueuedThenEndsEveryClient) {
  SlotBoard board;
  EventHub hub(board, {});
  board.AddWatcher(hub);
  SlotBoardSnapshot snapshot;
  nlohmann::ordered_json units;
  const auto client = hub.Join(&snapshot, &units);
  StationEvent summary;
  summary.m_kind = StationEventKind::kSummary;
  summary.m_summary.m_passed = 6;
  board.OnEvent(summary);
  // A client waiting for messages is woken by the close.
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    hub.Close();
  });
  std::vector<SharedStreamMessage> messages;
  ASSERT_EQ(hub.Take(*client, &messages, 60s), Took::kSome);
  ASSERT_EQ(Events(messages).size(), 1u);
  EXPECT_EQ(Events(messages)[0]["event"], "summary");
  EXPECT_EQ(hub.Take(*client, &messages, 60s), Took::kEnded);
  closer.join();
  EXPECT_FALSE(hub.Join(&snapshot, &units));
}

TEST(EventHub, ClientsJoiningAndLeavingWhileSlotsBurnSeeNoGapAndNoRepeat) {
  // The station's threads, serialised as the station serialises them, feed
  // the board; clients join at any moment and check that the counts they
  // get go on exactly from their snapshot's.
  SlotBoard board;
  EventHub::Limits limits;
  limits.m_gather = 1ms;
  limits.m_queue = 1000000;
  EventHub hub(board, limits);
  board.AddWatcher(hub);
  std::mutex stationGuard;
  constexpr int kPorts = 4;
  constexpr int kChecks = 24;    // client runs to see before the slots stop
  constexpr long kMost = 20000;  // events a slot posts at most
  std::atomic<int> checked{0};
  std::atomic<int> burning{kPorts};
  std::vector<std::thread> slots;
  for (int p = 0; p < kPorts; ++p) {
    slots.emplace_back([&, p] {
      for (long i = 1; checked.load() < kChecks && i <= kMost; ++i) {
        {
          std::lock_guard<std::mutex> lock(stationGuard);
          board.OnEvent(Status("port-" + std::to_string(p), i));
        }
        // Paced, as burns post, so that the clients keep up.
        std::this_thread::sleep_for(200us);
      }
      burning.fetch_sub(1);
    });
  }
  std::vector<std::thread> clients;
  for (int c = 0; c < 6; ++c) {
    clients.emplace_back([&] {
      while (burning.load() > 0) {
        SlotBoardSnapshot snapshot;
        nlohmann::ordered_json units;
        const auto client = hub.Join(&snapshot, &units);
        std::map<std::string, long> last;
        for (const SlotView& s : snapshot.m_slots) last[s.m_port] = s.m_count;
        std::vector<SharedStreamMessage> messages;
        for (int takes = 0; takes < 5; ++takes) {
          ASSERT_EQ(hub.Take(*client, &messages, 5ms), Took::kSome);
          for (const auto& e : Events(messages)) {
            const std::string port = e["port"];
            const long count = e["count"];
            ASSERT_EQ(count, last[port] + 1) << port;
            last[port] = count;
          }
        }
        hub.Leave(client);
        checked.fetch_add(1);
      }
    });
  }
  for (auto& t : slots) t.join();
  for (auto& t : clients) t.join();
  EXPECT_GE(checked.load(), 6);
  EXPECT_EQ(hub.Clients(), 0u);
  EXPECT_EQ(hub.Dropped(), 0u);
}

}  // namespace
}  // namespace tessarin
