// A small client of a headless browser's DevTools protocol: one page,
// commands over its WebSocket, the answers as JSON. Enough to open a page,
// read its DOM through script, resize it and take screenshots.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/raw_socket.h"

namespace tessarin::testing {

class DevToolsPage {
 public:
  /// Connects to the WebSocket `path` ("/devtools/page/ID") on 127.0.0.1:port.
  DevToolsPage(int port, const std::string& path) : m_socket(port, std::chrono::seconds(30)) {
    if (!m_socket.Open()) return;
    const std::string request = "GET " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    if (!m_socket.Send(request)) return;
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      const std::string part = m_socket.ReceiveSome(1);
      if (part.empty()) return;
      head += part;
    }
    m_open = StatusOf(head) == 101;
  }

  bool Open() const { return m_open; }

  /// Sends a command and returns its "result"; null (with the reason in
  /// *error) when it failed or the connection ended.
  std::optional<nlohmann::json> Call(const std::string& method,
                                     const nlohmann::json& params = nlohmann::json::object(),
                                     std::string* error = nullptr) {
    const int id = ++m_lastId;
    const nlohmann::json command = {{"id", id}, {"method", method}, {"params", params}};
    if (!SendText(command.dump())) return Fail(error, "cannot send " + method);
    for (;;) {
      const auto text = ReceiveText();
      if (!text) return Fail(error, "no answer to " + method);
      const auto message = nlohmann::json::parse(*text, nullptr, false);
      if (message.is_discarded() || !message.contains("id") || message["id"] != id) continue;
      if (message.contains("error")) return Fail(error, method + ": " + message["error"].dump());
      return message.value("result", nlohmann::json::object());
    }
  }

  /// The value of a script expression (JSON-able); null (with the reason in
  /// *error) when it threw or the browser did not answer.
  std::optional<nlohmann::json> Evaluate(const std::string& expression,
                                         std::string* error = nullptr) {
    const auto result = Call(
        "Runtime.evaluate",
        {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, error);
    if (!result) return std::nullopt;
    if (result->contains("exceptionDetails")) {
      return Fail(error, "the script threw: " + (*result)["exceptionDetails"].dump());
    }
    return (*result)["result"].value("value", nlohmann::json());
  }

 private:
  static std::optional<nlohmann::json> Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return std::nullopt;
  }

  bool SendText(const std::string& text) {
    std::string frame(1, static_cast<char>(0x81));  // one whole text frame
    const std::uint64_t n = text.size();
    if (n < 126) {
      frame += static_cast<char>(0x80 | n);
    } else if (n < 65536) {
      frame += static_cast<char>(0x80 | 126);
      frame += static_cast<char>(n >> 8);
      frame += static_cast<char>(n & 0xFF);
    } else {
      frame += static_cast<char>(0x80 | 127);
      for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((n >> shift) & 0xFF);
    }
    // A client masks what it sends.
    char mask[4];
    for (char& m : mask) m = static_cast<char>(m_random() & 0xFF);
    frame.append(mask, 4);
    for (std::size_t i = 0; i < text.size(); ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
    return m_socket.Send(frame);
  }

  /// The next whole text message; answers pings on the way.
  std::optional<std::string> ReceiveText() {
    std::string message;
    for (;;) {
      const std::string head = m_socket.ReceiveExactly(2);
      if (head.size() < 2) return std::nullopt;
      const bool fin = (head[0] & 0x80) != 0;
      const int opcode = head[0] & 0x0F;
      std::uint64_t n = static_cast<unsigned char>(head[1]) & 0x7F;
      if (n >= 126) {
        const std::string length = m_socket.ReceiveExactly(n == 126 ? 2 : 8);
        n = 0;
        for (char c : length) n = (n << 8) | static_cast<unsigned char>(c);
      }
      const std::string payload = m_socket.ReceiveExactly(static_cast<std::size_t>(n));
      if (payload.size() < n) return std::nullopt;
      if (opcode == 0x8) return std::nullopt;  // closed
      if (opcode == 0x9) continue;             // a ping; the browser never waits on the pong
      if (opcode == 0x1 || opcode == 0x0) message += payload;
      if (fin && (opcode == 0x1 || opcode == 0x0)) return message;
    }
  }

  RawSocket m_socket;
  bool m_open = false;
  int m_lastId = 0;
  std::mt19937 m_random{20261209};
};

/// Standard base64, for the screenshots the browser sends.
inline std::vector<std::uint8_t> DecodeBase64(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else {
      continue;  // padding and line breaks
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>((bits >> count) & 0xFF));
    }
  }
  return bytes;
}

}  // namespace tessarin::testing
