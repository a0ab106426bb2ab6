#include "board/board_server.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "board/board_page.h"
#include "board/head_limited_stream.h"
#include "board/units_feed.h"
#include "platform/listen_socket.h"
#include "platform/thread_priority.h"
#include "station/record_time.h"

namespace tessarin {

namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// What the connection being served on this thread is: whether it is within
// the client limit, and its stream (for the status of a head that overran).
thread_local bool t_admitted = false;
thread_local const HeadLimitedStream* t_stream = nullptr;

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 401:
      return "this board needs its token: open the URL the station printed";
    case 403:
      return "this board answers only requests to its own address or localhost";
    case 404:
      return "no such page on this board";
    case 405:
      return "the board is read-only: GET and HEAD only";
    case 408:
      return "the request did not come in time";
    case 413:
      return "the request is too large";
    case 414:
      return "the request line is too long";
    case 431:
      return "the request's headers are too large";
    case 503:
      return "the board serves a limited number of clients at once; try again shortly";
  }
  return "the board cannot answer this request";
}

void Refuse(Response& res, int status) {
  res.status = status;
  res.set_content(std::string(StatusText(status)) + "\n", "text/plain; charset=utf-8");
  if (status == 405) res.set_header("Allow", "GET, HEAD");
  if (status == 401) res.set_header("WWW-Authenticate", "Bearer");
  if (status == 503) res.set_header("Retry-After", "5");
}

/// A response written without the library, for a request it never parsed.
void WriteRaw(HeadLimitedStream& stream, int status, const char* reason) {
  const std::string body = std::string(StatusText(status)) + "\n";
  const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                           "\r\nConnection: close\r\nContent-Type: text/plain; "
                           "charset=utf-8\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body;
  stream.write(text.data(), text.size());
}

std::string FileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

class BoardServer::Impl {
 public:
  Impl(const SlotBoard& board, RecordStore& store, BoardInfo info,
       std::optional<std::vector<std::string>> serialList, BoardOptions options)
      : m_board(board),
        m_store(store),
        m_info(std::move(info)),
        m_options(std::move(options)),
        m_hub(board, m_options.m_stream),
        m_feed(store, m_info.m_station, std::move(serialList),
               m_options.m_unitsSince.empty()
                   ? UtcIso8601(std::chrono::system_clock::now() - std::chrono::hours(24))
                   : m_options.m_unitsSince),
        m_watcher(*this),
        m_http(*this) {
    if (m_info.m_imageFile.empty()) m_info.m_imageFile = FileName(m_info.m_imagePath);
  }

  bool Start(std::string* error);
  void Stop();

  /// Tells the hub and marks the store's units to be read again.
  class Watcher : public StationEvents {
   public:
    explicit Watcher(Impl& impl) : m_impl(impl) {}
    void OnEvent(const StationEvent& event) override {
      m_impl.m_hub.OnEvent(event);
      if (event.m_kind == StationEventKind::kFinished ||
          event.m_kind == StationEventKind::kRefused ||
          event.m_kind == StationEventKind::kSummary) {
        m_impl.m_unitsDirty.store(true);
      }
    }

   private:
    Impl& m_impl;
  };

  /// The library's server with each connection served through a stream that
  /// bounds the request head, one request per connection, and the client
  /// limit counted over connections.
  class Http : public httplib::Server {
   public:
    explicit Http(Impl& impl) : m_impl(impl) {}

   private:
    bool process_and_close_socket(socket_t sock) override {
      // The board's threads give way to the burns.
      LowerThisThreadsPriority();
      const BoardOptions& o = m_impl.m_options;
      const bool admitted = m_impl.m_connections.fetch_add(1) < o.m_maxClients;
      // One turned away gets its answer soon, so it holds a thread briefly.
      const auto headTime = admitted ? o.m_headTime : std::min(o.m_headTime, o.m_readTimeout);
      HeadLimitedStream stream(sock, o.m_headLimit, std::chrono::steady_clock::now() + headTime,
                               m_impl.m_closing);
      t_admitted = admitted;
      t_stream = &stream;
      bool closed = false;
      const bool ok = process_request(stream, /*close_connection=*/true, closed, nullptr);
      if (!stream.Wrote()) {
        if (stream.HeadOverrun() == HeadLimitedStream::Overrun::kRequestLine) {
          WriteRaw(stream, 414, "URI Too Long");
        } else if (stream.HeadOverrun() == HeadLimitedStream::Overrun::kTime) {
          WriteRaw(stream, 408, "Request Timeout");
        }
      }
      t_stream = nullptr;
      httplib::detail::close_socket(sock);
      m_impl.m_connections.fetch_sub(1);
      return ok;
    }

    Impl& m_impl;
  };

  HandlerResponse Check(const Request& req, Response& res);
  void ServePage(Response& res);
  void ServeState(Response& res);
  void ServeUnits(const Request& req, Response& res);
  void ServeEvents(const Request& req, Response& res);
  void UnitsLoop();
  void PublishUnits();

  const SlotBoard& m_board;
  RecordStore& m_store;
  BoardInfo m_info;
  const BoardOptions m_options;
  EventHub m_hub;
  UnitsFeed m_feed;  // on the units thread only, once started
  Watcher m_watcher;
  Http m_http;
  BoardAccess m_access;
  std::atomic<std::size_t> m_connections{0};
  std::atomic<bool> m_unitsDirty{true};
  std::atomic<std::uint64_t> m_dropped{0};
  std::atomic<bool> m_closing{false};      // every connection ends at its next read or write
  std::atomic<bool> m_listenEnded{false};  // the library's accept loop returned

  std::mutex m_mutex;  // guards m_stopping
  std::condition_variable m_wake;
  bool m_stopping = false;
  bool m_started = false;
  std::thread m_listen;
  std::thread m_units;
};

HandlerResponse BoardServer::Impl::Check(const Request& req, Response& res) {
  if (!t_admitted) {
    Refuse(res, 503);
    return HandlerResponse::Handled;
  }
  BoardRequest facts;
  facts.m_method = req.method;
  facts.m_rawPath = std::string_view(req.target).substr(0, req.target.find('?'));
  const auto header = [&](const char* name) -> const std::string* {
    if (req.get_header_value_count(name) != 1) return nullptr;
    return &req.headers.find(name)->second;
  };
  facts.m_host = header("Host");
  facts.m_authorization = header("Authorization");
  const auto token = req.params.find("token");
  if (token != req.params.end()) facts.m_queryToken = &token->second;
  const int status = CheckBoardRequest(m_access, facts);
  if (status == 0) return HandlerResponse::Unhandled;
  Refuse(res, status);
  return HandlerResponse::Handled;
}

void BoardServer::Impl::ServePage(Response& res) {
  const std::string nonce = RandomHex(16);
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
                     "'; connect-src 'self'; img-src data:; base-uri 'none'; "
                     "form-action 'none'; frame-ancestors 'none'");
  res.set_content(BoardPage(nonce), "text/html; charset=utf-8");
}

void BoardServer::Impl::ServeState(Response& res) {
  const nlohmann::ordered_json state =
      BoardStateJson(m_board.Snapshot(), m_info, m_hub.Units(), std::chrono::steady_clock::now());
  res.set_content(JsonLine(state) + "\n", "application/json");
}

void BoardServer::Impl::ServeUnits(const Request& req, Response& res) {
  std::string since;
  std::string error;
  if (req.has_param("since")) {
    const auto normal = NormaliseSinceTime(req.get_param_value("since"), &error);
    if (!normal) {
      res.status = 400;
      res.set_content("since: " + error + "\n", "text/plain; charset=utf-8");
      return;
    }
    since = *normal;
  }
  const auto units = m_store.Units(since, &error);
  if (!units) {
    res.status = 500;
    res.set_content("record store: " + error + "\n", "text/plain; charset=utf-8");
    return;
  }
  std::string text = "[";
  for (const UnitRecord& r : *units) {
    if (text.size() > 1) text += ",\n";
    text += JsonLine(UnitJson(r));
  }
  text += "]\n";
  res.set_content(std::move(text), "application/json");
}

void BoardServer::Impl::ServeEvents(const Request& req, Response& res) {
  if (req.method == "HEAD") {
    res.set_header("Content-Type", "text/event-stream");
    return;
  }
  SlotBoardSnapshot snapshot;
  nlohmann::ordered_json units;
  const auto client = m_hub.Join(&snapshot, &units);
  if (!client) {
    Refuse(res, 503);
    return;
  }
  // The first message is the whole board; the page reconnects 2 s after a loss.
  auto first = std::make_shared<std::string>(
      "retry: 2000\n\n" +
      SseFrame("snapshot", JsonLine(BoardStateJson(snapshot, m_info, units,
                                                   std::chrono::steady_clock::now()))));
  res.set_header("X-Accel-Buffering", "no");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, client, first](std::size_t, httplib::DataSink& sink) {
        if (!first->empty()) {
          const std::string text = std::move(*first);
          first->clear();
          return sink.write(text.data(), text.size());
        }
        std::vector<SharedStreamMessage> messages;
        switch (m_hub.Take(*client, &messages, m_options.m_heartbeat)) {
          case EventHub::Took::kDropped:
            m_dropped.fetch_add(1);
            return false;  // the connection ends at once; the page starts again
          case EventHub::Took::kEnded:
            sink.done();
            return true;
          case EventHub::Took::kSome:
            break;
        }
        std::string text;
        if (messages.empty()) text = ": quiet\n\n";
        for (const SharedStreamMessage& m : messages) text += m->Text();
        if (sink.write(text.data(), text.size())) return true;
        m_dropped.fetch_add(1);
        return false;
      },
      [this, client](bool) { m_hub.Leave(client); });
}

void BoardServer::Impl::PublishUnits() {
  std::string error;
  if (m_feed.Refresh(&error)) m_hub.PublishUnits(BoardUnitsJson(m_feed.Units()));
}

void BoardServer::Impl::UnitsLoop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_stopping) {
    m_wake.wait_for(lock, m_options.m_unitsEvery, [&] { return m_stopping; });
    if (m_stopping || !m_unitsDirty.exchange(false)) continue;
    lock.unlock();
    PublishUnits();
    lock.lock();
  }
}

bool BoardServer::Impl::Start(std::string* error) {
  const BoardOptions& o = m_options;
  m_http.new_task_queue = [n = o.m_maxClients + 4] { return new httplib::ThreadPool(n); };
  m_http.set_read_timeout(o.m_readTimeout);
  m_http.set_write_timeout(o.m_writeTimeout);
  m_http.set_keep_alive_max_count(1);
  m_http.set_socket_options([sendBuffer = o.m_sendBuffer](socket_t sock) {
    PrepareListeningSocket(static_cast<std::uintptr_t>(sock), sendBuffer);
  });
  m_http.set_payload_max_length(4096);
  m_http.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"X-Frame-Options", "DENY"},
                              {"Cache-Control", "no-store"}});
  m_http.set_pre_routing_handler(
      [this](const Request& req, Response& res) { return Check(req, res); });
  m_http.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
    // A head that overran reaches here as the library's 400.
    if (t_stream && t_stream->HeadOverrun() == HeadLimitedStream::Overrun::kHeaders) {
      res.status = 431;
    } else if (t_stream && t_stream->HeadOverrun() == HeadLimitedStream::Overrun::kTime) {
      res.status = 408;
    }
    if (res.body.empty()) Refuse(res, res.status);
    return HandlerResponse::Handled;
  }));
  m_http.Get("/", [this](const Request&, Response& res) { ServePage(res); });
  m_http.Get("/api/state", [this](const Request&, Response& res) { ServeState(res); });
  m_http.Get("/api/units", [this](const Request& req, Response& res) { ServeUnits(req, res); });
  m_http.Get("/events", [this](const Request& req, Response& res) { ServeEvents(req, res); });

  const BoardAddress& address = o.m_address;
  int port = address.m_port;
  if (port == 0) {
    port = m_http.bind_to_any_port(address.m_host);
  } else if (!m_http.bind_to_port(address.m_host, port)) {
    port = -1;
  }
  if (port <= 0) {
    if (error) {
      *error = "cannot listen on " + address.m_host + ":" + std::to_string(address.m_port) +
               ": the port is taken, or the address is not one of this machine's";
    }
    return false;
  }
  m_access = MakeBoardAccess(address, port, o.m_token);
  PublishUnits();
  m_unitsDirty.store(false);
  m_started = true;
  m_listen = std::thread([this] {
    LowerThisThreadsPriority();
    m_http.listen_after_bind();
    m_listenEnded.store(true);
  });
  // The library's stop() does nothing until its loop runs: a board stopped
  // at once would leave that thread waiting for a client for ever.
  while (!m_http.is_running() && !m_listenEnded.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  m_units = std::thread([this] {
    LowerThisThreadsPriority();
    UnitsLoop();
  });
  return true;
}

void BoardServer::Impl::Stop() {
  if (!m_started) return;
  m_started = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_units.join();
  // The last unit's record belongs on the board before its clients go.
  if (m_unitsDirty.exchange(false)) PublishUnits();
  m_hub.Close();
  const auto until = std::chrono::steady_clock::now() + m_options.m_closeGrace;
  while (m_hub.Clients() > 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m_closing.store(true);
  m_http.stop();
  m_listen.join();
}

BoardServer::BoardServer(const SlotBoard& board, RecordStore& store, BoardInfo info,
                         std::optional<std::vector<std::string>> serialList, BoardOptions options)
    : m_impl(std::make_unique<Impl>(board, store, std::move(info), std::move(serialList),
                                    std::move(options))) {}

BoardServer::~BoardServer() { Stop(); }

StationEvents& BoardServer::Watcher() { return m_impl->m_watcher; }

bool BoardServer::Start(std::string* error) { return m_impl->Start(error); }

const BoardAccess& BoardServer::Access() const { return m_impl->m_access; }

void BoardServer::Stop() { m_impl->Stop(); }

std::size_t BoardServer::Connections() const { return m_impl->m_connections.load(); }

std::uint64_t BoardServer::DroppedClients() const { return m_impl->m_dropped.load(); }

}  // namespace tessarin
