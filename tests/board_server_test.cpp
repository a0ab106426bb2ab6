// The board served for real: a station burning simulated devices in this
// process, the server on 127.0.0.1, and clients over real sockets. The
// routes, the event stream, the read-only and Host rules, the token, the
// client limit, the bounds on a request's head, and clients that stop
// reading or vanish while the station burns on.
#include "board/board_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "board/board_json.h"
#include "image/rom_image.h"
#include "sim/sim_spec.h"
#include "station/station.h"
#include "store/sqlite_record_store.h"
#include "support/raw_socket.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RawSocket;
using testing::StatusOf;

/// What `station --json` would print, line by line.
class JsonLines : public StationEvents {
 public:
  explicit JsonLines(const SlotBoard& board) : m_board(board) {}
  void OnEvent(const StationEvent& e) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(JsonLine(StationEventJson(e, EventSlot(e, m_board))));
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }

 private:
  const SlotBoard& m_board;
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

/// A server-sent event stream read by httplib's client on a thread of its own.
class StreamReader {
 public:
  StreamReader(int port, std::string path = "/events") {
    m_thread = std::thread([this, port, path] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(30s);
      const auto result = client.Get(path, [this](const char* data, std::size_t n) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text.append(data, n);
        return !m_stop;
      });
      std::lock_guard<std::mutex> lock(m_mutex);
      m_status = result ? result->status : 0;
      m_done = true;
    });
  }
  ~StreamReader() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_thread.join();
  }
  /// Waits (at most 30 s) until the stream ended or its text holds `part`.
  bool WaitFor(const std::string& part) {
    for (int i = 0; i < 3000; ++i) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_text.find(part) != std::string::npos) return true;
        if (m_done) return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  bool WaitForEnd() {
    for (int i = 0; i < 3000; ++i) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_done) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  /// The stream's messages: event name ("" for a station event) and data.
  std::vector<std::pair<std::string, std::string>> Messages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<std::string, std::string>> messages;
    std::size_t at = 0;
    for (std::size_t end = m_text.find("\n\n"); end != std::string::npos;
         end = m_text.find("\n\n", at)) {
      std::string name;
      std::string data;
      std::size_t line = at;
      while (line < end) {
        const std::size_t next = std::min(m_text.find('\n', line), end);
        const std::string text = m_text.substr(line, next - line);
        if (text.rfind("event: ", 0) == 0) name = text.substr(7);
        if (text.rfind("data: ", 0) == 0) data = text.substr(6);
        line = next + 1;
      }
      if (!data.empty()) messages.emplace_back(name, data);
      at = end + 2;
    }
    return messages;
  }
  int Status() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
  }

 private:
  std::mutex m_mutex;
  std::string m_text;
  bool m_stop = false;
  bool m_done = false;
  int m_status = -1;
  std::thread m_thread;
};

/// One raw request; the whole answer.
std::string Exchange(int port, const std::string& request) {
  RawSocket socket(port);
  if (!socket.Open() || !socket.Send(request)) return {};
  return socket.ReceiveAll();
}

std::string Get(int port, const std::string& target, const std::string& headers = "") {
  return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\n" + headers + "\r\n");
}

std::string Body(const std::string& response) {
  const std::size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

class BoardServerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    m_dir = fs::temp_directory_path() / ("tessarin-board-" + std::to_string(CurrentProcessId()) +
                                         "-" + std::to_string(counter++));
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    std::string error;
    m_store = SqliteRecordStore::Open((m_dir / "s.db").string(), &error);
    ASSERT_TRUE(m_store) << error;
    ASSERT_TRUE(m_store->BeginSession({"bench-3"}, nullptr, &error)) << error;
    m_slots.AddWatcher(m_lines);
  }
  void TearDown() override {
    if (m_thread.joinable()) {
      m_station->Stop(2);
      m_thread.join();
    }
    if (m_server) m_server->Stop();
    m_server.reset();
    m_boardStore.reset();
    m_station.reset();
    m_backend.reset();
    m_store.reset();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  void StartBoard(BoardOptions options = {}) {
    options.m_closeGrace = 3s;
    options.m_heartbeat = 100ms;
    BoardInfo info;
    info.m_station = "bench-3";
    info.m_imagePath = "/line/fw.rom";
    info.m_sha256 = std::string(64, 'c');
    // The board reads through a connection of its own, as the tool's does.
    std::string error;
    m_boardStore = SqliteRecordStore::Open((m_dir / "s.db").string(), &error);
    ASSERT_TRUE(m_boardStore) << error;
    m_server = std::make_unique<BoardServer>(m_slots, *m_boardStore, info, std::nullopt, options);
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_slots.AddWatcher(m_server->Watcher());
    m_port = m_server->Access().m_port;
  }

  void StartStation(const std::string& spec =
                        "units=6,ports=3,latency=170us,every=20ms,"
                        "linger=500ms",
                    int units = 6) {
    std::string error;
    const auto parsed = ParseSimSpec(spec, &error);
    ASSERT_TRUE(parsed) << error;
    m_backend = CreateSimBackend(*parsed, &error);
    ASSERT_TRUE(m_backend) << error;
    StationConfig config;
    config.m_image =
        std::make_shared<RomImage>(*MakeImage(32768, 3, 1, 7, ImageIds{0x0495, 0x8041}));
    config.m_imagePath = "/line/fw.rom";
    config.m_serials = MakeFormatSeries(*SerialFormat::Parse("KS-{:06}", &error), 1, &error);
    config.m_maxUnits = units;
    config.m_stationName = "bench-3";
    config.m_sleep = [](std::chrono::milliseconds) {};
    config.m_poll = 5ms;
    m_station = std::make_unique<Station>(*m_backend, *m_store, config, m_slots);
    m_thread = std::thread([this] {
      std::string why;
      m_ran = m_station->Run(&m_summary, &why);
    });
  }
  void WaitStation() {
    m_thread.join();
    ASSERT_TRUE(m_ran);
  }

  fs::path m_dir;
  std::unique_ptr<SqliteRecordStore> m_store;
  std::unique_ptr<SqliteRecordStore> m_boardStore;
  SlotBoard m_slots;
  JsonLines m_lines{m_slots};
  std::unique_ptr<BoardServer> m_server;
  int m_port = 0;
  std::unique_ptr<SimBackend> m_backend;
  std::unique_ptr<Station> m_station;
  std::thread m_thread;
  StationSummary m_summary;
  bool m_ran = false;
};

TEST_F(BoardServerRun, TheStreamCarriesTheStationsJsonAfterASnapshot) {
  StartBoard();
  StreamReader early(m_port);
  ASSERT_TRUE(early.WaitFor("event: snapshot"));
  StartStation();
  ASSERT_TRUE(early.WaitFor("\"event\":\"finished\""));
  // One that joins mid-run starts from its own snapshot.
  StreamReader late(m_port);
  ASSERT_TRUE(late.WaitFor("event: snapshot"));
  WaitStation();
  EXPECT_EQ(m_summary.m_passed, 6);
  m_server->Stop();
  ASSERT_TRUE(early.WaitForEnd());
  ASSERT_TRUE(late.WaitForEnd());
  EXPECT_EQ(early.Status(), 200);

  // The early client got every line `station --json` printed, in order.
  std::vector<std::string> lines;
  const auto messages = early.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().first, "snapshot");
  const auto snapshot = nlohmann::json::parse(messages.front().second);
  EXPECT_EQ(snapshot["station"], "bench-3");
  EXPECT_EQ(snapshot["counters"]["passed"], 0);
  EXPECT_EQ(snapshot["slots"], nlohmann::json::array());
  for (const auto& [name, data] : messages) {
    if (name.empty()) lines.push_back(data);
  }
  EXPECT_EQ(lines, m_lines.Lines());
  EXPECT_NE(lines.back().find("\"event\":\"summary\""), std::string::npos);

  // The late one: what its snapshot counted and what came after make six.
  const auto lateMessages = late.Messages();
  ASSERT_FALSE(lateMessages.empty());
  ASSERT_EQ(lateMessages.front().first, "snapshot");
  int passed = nlohmann::json::parse(lateMessages.front().second)["counters"]["passed"];
  EXPECT_GE(passed, 1);
  bool units = false;
  for (const auto& [name, data] : lateMessages) {
    const auto j = nlohmann::json::parse(data);
    if (name.empty() && j["event"] == "finished") passed += j["ok"].get<bool>() ? 1 : 0;
    if (name == "units") units = true;
  }
  EXPECT_EQ(passed, 6);
  EXPECT_TRUE(units) << "the latest units follow the store";
}

TEST_F(BoardServerRun, TheRoutesGiveThePageTheBoardAndTheRecords) {
  StartBoard();
  StartStation();
  WaitStation();

  const std::string state = Get(m_port, "/api/state");
  ASSERT_EQ(StatusOf(state), 200) << state;
  EXPECT_NE(state.find("Content-Type: application/json"), std::string::npos);
  const auto board = nlohmann::json::parse(Body(state));
  EXPECT_EQ(board["counters"]["passed"], 6);
  EXPECT_EQ(board["counters"]["failed"], 0);
  EXPECT_EQ(board["counters"]["stopped"], 0);
  EXPECT_EQ(board["counters"]["refused"], 0);
  EXPECT_TRUE(board["ended"].get<bool>());
  EXPECT_EQ(board["image"]["file"], "fw.rom");
  ASSERT_EQ(board["slots"].size(), 3u);
  for (const auto& slot : board["slots"]) {
    for (const char* key : {"port", "state", "progress", "serial"}) {
      EXPECT_TRUE(slot.contains(key)) << key;
    }
  }
  EXPECT_EQ(board["slots"][0]["port"], "port-1");

  const std::string units = Get(m_port, "/api/units");
  ASSERT_EQ(StatusOf(units), 200) << units;
  const auto records = nlohmann::json::parse(Body(units));
  ASSERT_EQ(records.size(), 6u);
  std::string error;
  const auto stored = m_store->Units("", &error);
  ASSERT_TRUE(stored);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i], nlohmann::json::parse(JsonLine(UnitJson((*stored)[i])))) << i;
  }
  EXPECT_EQ(records[0]["result"], "passed");
  EXPECT_EQ(nlohmann::json::parse(Body(Get(m_port, "/api/units?since=2999-01-01"))),
            nlohmann::json::array());
  EXPECT_EQ(nlohmann::json::parse(Body(Get(m_port, "/api/units?since=2000-01-01T00:00Z"))).size(),
            6u);
  EXPECT_EQ(StatusOf(Get(m_port, "/api/units?since=yesterday")), 400);

  const std::string page = Get(m_port, "/");
  ASSERT_EQ(StatusOf(page), 200);
  EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
  const std::size_t csp =
      page.find("Content-Security-Policy: default-src 'none'; script-src 'nonce-");
  ASSERT_NE(csp, std::string::npos);
  const std::string nonce = page.substr(csp + 63, 32);
  EXPECT_NE(Body(page).find("<script nonce=\"" + nonce + "\">"), std::string::npos);
  EXPECT_EQ(Body(page).find("@NONCE@"), std::string::npos);
  EXPECT_EQ(Body(page).find("src=\"http"), std::string::npos) << "nothing from elsewhere";
  // Every answer gets another nonce.
  EXPECT_EQ(Get(m_port, "/").find(nonce), std::string::npos);

  const std::string head =
      Exchange(m_port, "HEAD / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) + "\r\n\r\n");
  EXPECT_EQ(StatusOf(head), 200);
  EXPECT_EQ(Body(head), "");
  const std::string headEvents = Exchange(
      m_port, "HEAD /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) + "\r\n\r\n");
  EXPECT_EQ(StatusOf(headEvents), 200);
  EXPECT_NE(headEvents.find("text/event-stream"), std::string::npos);
  EXPECT_EQ(Body(headEvents), "");
}

TEST_F(BoardServerRun, ItIsReadOnlyAndKnowsOnlyItsRoutes) {
  StartBoard();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(m_port) + "\r\n";
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "CONNECT"}) {
    for (const char* path : {"/", "/api/state", "/events", "/nowhere"}) {
      const std::string answer =
          Exchange(m_port, std::string(method) + " " + path + " HTTP/1.1\r\n" + host +
                               "Content-Length: 0\r\n\r\n");
      EXPECT_EQ(StatusOf(answer), 405) << method << " " << path << "\n" << answer;
      EXPECT_NE(answer.find("Allow: GET, HEAD"), std::string::npos) << method;
    }
  }
  for (const char* path :
       {"/..", "/../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/%2E%2E%2Fetc%2Fpasswd", "/.%2e/",
        "/api/../api/state", "/api/./state", "/api%2Fstate", "/api/state/", "//api/state",
        "/events/..", "/index.html", "/board.js", "/favicon.ico", "/%5c..%5cwindows",
        "/api/units/../../../etc/passwd?since=2000-01-01"}) {
    const std::string answer = Get(m_port, path);
    EXPECT_EQ(StatusOf(answer), 404) << path << "\n" << answer;
    EXPECT_EQ(answer.find("root:"), std::string::npos);
  }
  // Nothing changed: the board still has no slot and answers as before.
  EXPECT_EQ(nlohmann::json::parse(Body(Get(m_port, "/api/state")))["slots"],
            nlohmann::json::array());
}

TEST_F(BoardServerRun, ALoopbackBoardAnswersOnlyToItsOwnNames) {
  StartBoard();
  const std::string port = std::to_string(m_port);
  struct Case {
    std::string hostLines;
    int status;
  };
  const Case cases[] = {
      {"Host: 127.0.0.1:" + port + "\r\n", 200},
      {"Host: localhost:" + port + "\r\n", 200},
      {"Host: LOCALHOST:" + port + "\r\n", 200},
      {"Host: rebound.example:" + port + "\r\n", 403},
      {"Host: 127.0.0.1.rebound.example:" + port + "\r\n", 403},
      {"Host: 127.0.0.1:1\r\n", 403},
      {"Host: 127.0.0.1\r\n", 403},
      {"", 403},
      {"Host: 127.0.0.1:" + port + "\r\nHost: rebound.example\r\n", 403},
  };
  for (const Case& c : cases) {
    const std::string answer =
        Exchange(m_port, "GET /api/state HTTP/1.1\r\n" + c.hostLines + "\r\n");
    EXPECT_EQ(StatusOf(answer), c.status) << c.hostLines;
  }
  // A page of another site cannot open the stream either.
  const std::string stream =
      Exchange(m_port, "GET /events HTTP/1.1\r\nHost: rebound.example:" + port + "\r\n\r\n");
  EXPECT_EQ(StatusOf(stream), 403);
}

TEST_F(BoardServerRun, ABoardWithATokenAnswersOnlyWithIt) {
  BoardOptions options;
  options.m_token = "line-7-token-abc";
  StartBoard(options);
  struct Case {
    std::string target;
    std::string headers;
    int status;
  };
  const Case cases[] = {
      {"/api/state", "", 401},
      {"/api/state?token=line-7-token-abd", "", 401},
      {"/api/state?token=line-7-token-ab", "", 401},
      {"/api/state?token=line-7-token-abc", "", 200},
      {"/api/state?token=line%2D7-token-abc", "", 200},
      {"/api/state", "Authorization: Bearer line-7-token-abc\r\n", 200},
      {"/api/state", "Authorization: Bearer line-7-token-abcd\r\n", 401},
      {"/", "", 401},
      {"/?token=line-7-token-abc", "", 200},
      {"/nowhere?token=line-7-token-abc", "", 404},
      {"/nowhere", "", 401},
  };
  for (const Case& c : cases) {
    const std::string answer = Get(m_port, c.target, c.headers);
    EXPECT_EQ(StatusOf(answer), c.status) << c.target << " " << c.headers;
    if (c.status == 401) {
      EXPECT_NE(answer.find("WWW-Authenticate: Bearer"), std::string::npos);
      EXPECT_EQ(answer.find("line-7-token-abc"), std::string::npos) << "never echoed";
    }
  }
  StreamReader stream(m_port, "/events?token=line-7-token-abc");
  EXPECT_TRUE(stream.WaitFor("event: snapshot"));
  StreamReader refused(m_port, "/events?token=wrong");
  EXPECT_TRUE(refused.WaitForEnd());
  EXPECT_EQ(refused.Status(), 401);
}

TEST_F(BoardServerRun, AtMostSoManyClientsAtOnce) {
  BoardOptions options;
  StartBoard(options);
  const std::string request =
      "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) + "\r\n\r\n";
  std::vector<std::unique_ptr<RawSocket>> streams;
  for (std::size_t i = 0; i < options.m_maxClients; ++i) {
    streams.push_back(std::make_unique<RawSocket>(m_port));
    ASSERT_TRUE(streams.back()->Open());
    ASSERT_TRUE(streams.back()->Send(request));
    ASSERT_NE(streams.back()->ReceiveSome().find("200 OK"), std::string::npos) << i;
  }
  EXPECT_EQ(m_server->Connections(), options.m_maxClients);
  const std::string refused = Get(m_port, "/api/state");
  EXPECT_EQ(StatusOf(refused), 503) << refused;
  EXPECT_NE(refused.find("Retry-After: 5"), std::string::npos);
  // One leaves: the next is served.
  streams.pop_back();
  for (int i = 0; i < 500 && m_server->Connections() >= options.m_maxClients; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(StatusOf(Get(m_port, "/api/state")), 200);
}

TEST_F(BoardServerRun, AClientThatStopsReadingIsDroppedWhileTheStationBurnsOn) {
  BoardOptions options;
  options.m_writeTimeout = 500ms;
  options.m_sendBuffer = 8 * 1024;
  StartBoard(options);
  const std::string request =
      "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) + "\r\n\r\n";
  // One asks for the stream and never reads a byte; another vanishes.
  RawSocket stalled(m_port, 5s, 2048);
  ASSERT_TRUE(stalled.Send(request));
  auto vanishing = std::make_unique<RawSocket>(m_port);
  ASSERT_TRUE(vanishing->Send(request));
  ASSERT_NE(vanishing->ReceiveSome().find("200 OK"), std::string::npos);
  StreamReader reader(m_port);
  ASSERT_TRUE(reader.WaitFor("event: snapshot"));
  // Enough units that their events pass what the system buffers for the
  // stalled one.
  StartStation("units=12,ports=3,latency=170us,every=5ms,linger=1s", 12);
  ASSERT_TRUE(reader.WaitFor("\"event\":\"started\""));
  vanishing.reset();
  WaitStation();
  EXPECT_EQ(m_summary.m_passed, 12);
  // The reader got it all; the two were ended.
  EXPECT_TRUE(reader.WaitFor("\"event\":\"summary\""));
  EXPECT_EQ(m_server->DroppedClients(), 2u);
  for (int i = 0; i < 500 && m_server->Connections() > 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(m_server->Connections(), 1u);
  const std::string stalledGot = stalled.ReceiveAll();
  EXPECT_EQ(stalledGot.find("\"event\":\"summary\""), std::string::npos);
}

TEST_F(BoardServerRun, StoppingEndsAClientThatIsStillSendingItsHead) {
  BoardOptions options;
  options.m_headTime = 120s;
  StartBoard(options);
  std::atomic<bool> sending{true};
  std::thread trickle([&] {
    RawSocket slow(m_port);
    slow.Send("GET /api/state HTTP/1.1\r\n");
    while (sending.load() && slow.Send("X")) std::this_thread::sleep_for(50ms);
  });
  for (int i = 0; i < 500 && m_server->Connections() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(m_server->Connections(), 1u);
  const auto before = std::chrono::steady_clock::now();
  m_server->Stop();
  // Far sooner than the head's two minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
  EXPECT_EQ(m_server->Connections(), 0u);
  sending.store(false);
  trickle.join();
}

TEST_F(BoardServerRun, NoTwoBoardsShareAPort) {
  StartBoard();
  BoardOptions options;
  options.m_address.m_port = m_port;
  BoardServer second(m_slots, *m_store, {}, std::nullopt, options);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(m_port)), std::string::npos)
      << error;
  // The first goes on serving.
  EXPECT_EQ(StatusOf(Get(m_port, "/api/state")), 200);
}

TEST_F(BoardServerRun, ABoardStoppedAsSoonAsItStartedEnds) {
  // A station that ends at once (no device, --once) stops its board right
  // after starting it; each stop must end the board's threads.
  for (int i = 0; i < 10; ++i) {
    BoardServer board(m_slots, *m_store, {}, std::nullopt, {});
    std::string error;
    ASSERT_TRUE(board.Start(&error)) << error;
    const auto stopped = std::async(std::launch::async, [&] { board.Stop(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready) << "run " << i;
  }
}

TEST_F(BoardServerRun, ARequestHeadIsBoundedInSizeAndTime) {
  BoardOptions options;
  options.m_headLimit = 4096;
  options.m_headTime = 400ms;
  options.m_readTimeout = 300ms;
  StartBoard(options);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(m_port) + "\r\n";

  // A request line that never ends: refused once it passes the limit.
  RawSocket endless(m_port);
  ASSERT_TRUE(endless.Send("GET /" + std::string(5000, 'a')));
  const std::string longLine = endless.ReceiveAll();
  EXPECT_EQ(StatusOf(longLine), 414) << longLine;

  // Many small headers that together pass it.
  std::string headers;
  for (int i = 0; i < 100; ++i)
    headers += "X-Pad-" + std::to_string(i) + ": " + std::string(60, 'p') + "\r\n";
  EXPECT_EQ(StatusOf(Exchange(m_port, "GET /api/state HTTP/1.1\r\n" + host + headers + "\r\n")),
            431);

  // A head that trickles in past its time.
  RawSocket slow(m_port);
  ASSERT_TRUE(slow.Send("GET /api/state HTTP/1.1\r\n"));
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(100ms);
    if (!slow.Send("X-Slow-" + std::to_string(i) + ": 1\r\n")) break;
  }
  const std::string trickled = slow.ReceiveAll();
  EXPECT_EQ(StatusOf(trickled), 408) << trickled;

  // A connection that sends nothing is closed.
  RawSocket idle(m_port);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(idle.ReceiveAll(), "");
  EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);

  // Within the limits all is well.
  EXPECT_EQ(StatusOf(Exchange(m_port, "GET /api/state HTTP/1.1\r\n" + host + "\r\n")), 200);
}

}  // namespace
}  // namespace tessarin
