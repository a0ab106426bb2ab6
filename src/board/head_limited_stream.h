// One connection of the board as the HTTP library reads and writes it, with
// a bound on what a request may send before its body: the request line and
// the headers together at most so many bytes, within so much time. The
// library's own limits look at a line only once it was read whole.
#pragma once

#include <httplib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>

namespace tessarin {

class HeadLimitedStream : public httplib::Stream {
 public:
  /// `sock` is an accepted connection whose receive and send timeouts are
  /// set (the library sets them); the stream does not own it. Once
  /// `*stopping` is set, reads and writes fail at their next call.
  HeadLimitedStream(socket_t sock, std::size_t headLimit,
                    std::chrono::steady_clock::time_point headDeadline,
                    const std::atomic<bool>& stopping);

  bool is_readable() const override { return true; }
  bool is_writable() const override { return !m_writeFailed && !m_stopping.load(); }
  /// Fails (-1) once the head would pass its limit or its deadline.
  ssize_t read(char* ptr, std::size_t size) override;
  ssize_t write(const char* ptr, std::size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return m_sock; }

  enum class Overrun {
    kNone,
    kRequestLine,  ///< the first line alone passed the limit
    kHeaders,      ///< the line and the headers together did
    kTime,         ///< the head did not come within its time
  };
  Overrun HeadOverrun() const { return m_overrun; }
  /// Something was written to the connection.
  bool Wrote() const { return m_wrote; }

 private:
  /// Counts the head's bytes handed out; true once its blank line came.
  void Track(const char* bytes, std::size_t n);

  socket_t m_sock;
  const std::atomic<bool>& m_stopping;
  std::size_t m_headLimit;
  std::chrono::steady_clock::time_point m_headDeadline;
  std::size_t m_headBytes = 0;
  bool m_headDone = false;
  bool m_firstLineDone = false;
  int m_endMatch = 0;  // how much of "\r\n\r\n" the last bytes matched
  Overrun m_overrun = Overrun::kNone;
  bool m_wrote = false;
  bool m_writeFailed = false;
  std::array<char, 4096> m_buffer{};
  std::size_t m_bufferAt = 0;
  std::size_t m_bufferEnd = 0;
};

}  // namespace tessarin
