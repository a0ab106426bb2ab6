#include "board/head_limited_stream.h"

#include <algorithm>
#include <cstring>

namespace tessarin {

HeadLimitedStream::HeadLimitedStream(socket_t sock, std::size_t headLimit,
                                     std::chrono::steady_clock::time_point headDeadline,
                                     const std::atomic<bool>& stopping)
    : m_sock(sock), m_stopping(stopping), m_headLimit(headLimit), m_headDeadline(headDeadline) {}

void HeadLimitedStream::Track(const char* bytes, std::size_t n) {
  static constexpr char kEnd[] = "\r\n\r\n";
  for (std::size_t i = 0; i < n && !m_headDone; ++i) {
    ++m_headBytes;
    const char c = bytes[i];
    if (c == '\n') m_firstLineDone = true;
    if (c == kEnd[m_endMatch]) {
      ++m_endMatch;
    } else {
      m_endMatch = c == '\r' ? 1 : 0;
    }
    if (m_endMatch == 4) m_headDone = true;
  }
}

ssize_t HeadLimitedStream::read(char* ptr, std::size_t size) {
  if (m_overrun != Overrun::kNone || m_stopping.load()) return -1;
  if (!m_headDone) {
    if (m_headBytes >= m_headLimit) {
      m_overrun = m_firstLineDone ? Overrun::kHeaders : Overrun::kRequestLine;
      return -1;
    }
    // The library never gets more of a head than its limit.
    size = std::min(size, m_headLimit - m_headBytes);
  }
  if (m_bufferAt == m_bufferEnd) {
    if (!m_headDone && std::chrono::steady_clock::now() > m_headDeadline) {
      m_overrun = Overrun::kTime;
      return -1;
    }
    const ssize_t n = httplib::detail::read_socket(m_sock, m_buffer.data(), m_buffer.size(), 0);
    if (n <= 0) return n;
    m_bufferAt = 0;
    m_bufferEnd = static_cast<std::size_t>(n);
  }
  const std::size_t n = std::min(size, m_bufferEnd - m_bufferAt);
  std::memcpy(ptr, m_buffer.data() + m_bufferAt, n);
  m_bufferAt += n;
  if (!m_headDone) Track(ptr, n);
  return static_cast<ssize_t>(n);
}

ssize_t HeadLimitedStream::write(const char* ptr, std::size_t size) {
  if (m_writeFailed || m_stopping.load()) return -1;
  const ssize_t n = httplib::detail::send_socket(m_sock, ptr, size, 0);
  if (n < 0) {
    m_writeFailed = true;
  } else {
    m_wrote = true;
  }
  return n;
}

// The board never uses the peer's address: it logs nothing of its clients.
void HeadLimitedStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip.clear();
  port = 0;
}

void HeadLimitedStream::get_local_ip_and_port(std::string& ip, int& port) const {
  ip.clear();
  port = 0;
}

}  // namespace tessarin
