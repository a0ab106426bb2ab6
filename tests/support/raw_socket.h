// A plain TCP connection to a server on 127.0.0.1, for tests that send what
// no HTTP client would (an endless request line, a slow head) or speak
// another protocol (the browser's DevTools WebSocket).
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>

namespace tessarin::testing {

class RawSocket {
 public:
  /// Connects at once; Open() says whether it did. `receiveBuffer` (bytes,
  /// 0: the system's) keeps what the peer may send ahead of the reads small.
  explicit RawSocket(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                     int receiveBuffer = 0) {
    httplib::Error error = httplib::Error::Success;
    const auto sec = static_cast<time_t>(timeout.count() / 1000);
    const auto usec = static_cast<time_t>((timeout.count() % 1000) * 1000);
    httplib::SocketOptions options;
    if (receiveBuffer > 0) {
      options = [receiveBuffer](socket_t sock) {
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof receiveBuffer);
      };
    }
    m_sock = httplib::detail::create_client_socket("127.0.0.1", std::string(), port, AF_INET, true,
                                                   options, sec, usec, sec, usec, sec, usec,
                                                   std::string(), error);
  }
  ~RawSocket() { Close(); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool Open() const { return m_sock != INVALID_SOCKET; }
  void Close() {
    if (m_sock != INVALID_SOCKET) httplib::detail::close_socket(m_sock);
    m_sock = INVALID_SOCKET;
  }

  /// Sends all of `text`; false when the connection failed (or was closed).
  bool Send(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
      const auto n = httplib::detail::send_socket(m_sock, text.data() + at, text.size() - at, 0);
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  /// Some bytes; empty when the peer closed, the timeout passed or it failed.
  std::string ReceiveSome(std::size_t most = 65536) {
    std::string buffer(most, '\0');
    const auto n = httplib::detail::read_socket(m_sock, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
  }
  /// Exactly `n` bytes, or fewer when the connection ended first.
  std::string ReceiveExactly(std::size_t n) {
    std::string data;
    while (data.size() < n) {
      const std::string part = ReceiveSome(n - data.size());
      if (part.empty()) break;
      data += part;
    }
    return data;
  }
  /// Everything until the peer closes (or the timeout passes).
  std::string ReceiveAll() {
    std::string data;
    for (std::string part = ReceiveSome(); !part.empty(); part = ReceiveSome()) data += part;
    return data;
  }

 private:
  socket_t m_sock = INVALID_SOCKET;
};

/// The status code of an HTTP response's text; 0 when there is none.
inline int StatusOf(const std::string& response) {
  if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
  return std::atoi(response.c_str() + 9);
}

}  // namespace tessarin::testing
