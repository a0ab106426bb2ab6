#include "board/board_access.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <random>

namespace tessarin {

namespace {

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

std::optional<int> ParsePort(std::string_view text) {
  if (!AllDigits(text) || text.size() > 5) return std::nullopt;
  const int port = std::stoi(std::string(text));
  if (port > 65535) return std::nullopt;
  return port;
}

/// Four decimal numbers of 0..255 without leading zeros' ambiguity.
std::optional<std::array<int, 4>> ParseIpv4(std::string_view text) {
  std::array<int, 4> parts{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = i < 3 ? text.find('.', at) : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view part = text.substr(at, dot - at);
    if (!AllDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
      return std::nullopt;
    }
    parts[i] = std::stoi(std::string(part));
    if (parts[i] > 255) return std::nullopt;
    at = dot + 1;
  }
  return parts;
}

bool LooksLikeIpv6(std::string_view text) {
  return text.find(':') != std::string_view::npos &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
         });
}

bool IsUnreserved(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

/// The address as a URL or a Host header names it: IPv6 in brackets.
std::string UrlHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool IsWildcard(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

/// The Host header names the board: its address or localhost, with its port
/// (a Host without a port means port 80).
bool HostNamesBoard(const BoardAccess& access, const std::string& header) {
  std::string host = Lower(header);
  std::string port = "80";
  const std::size_t bracket = host.rfind(']');
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    port = host.substr(colon + 1);
    host.resize(colon);
  }
  if (port != std::to_string(access.m_port)) return false;
  return host == "localhost" || host == Lower(UrlHost(access.m_host));
}

std::string_view BearerToken(const std::string& authorization) {
  const std::string_view value(authorization);
  constexpr std::string_view kScheme = "bearer ";
  if (value.size() <= kScheme.size() || Lower(value.substr(0, kScheme.size())) != kScheme) {
    return {};
  }
  return value.substr(kScheme.size());
}

}  // namespace

std::optional<BoardAddress> ParseBoardAddress(std::string_view text, std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<BoardAddress> {
    if (error) *error = why;
    return std::nullopt;
  };
  const char* kExpected =
      "expected PORT, ADDRESS:PORT or [IPv6]:PORT, e.g. 8080, 127.0.0.1:8080 or 0.0.0.0:8080";
  BoardAddress address;
  std::string_view portText = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) return fail(kExpected);
    address.m_host = std::string(text.substr(1, close - 1));
    portText = text.substr(close + 2);
    if (!LooksLikeIpv6(address.m_host))
      return fail("\"" + address.m_host + "\" is no IPv6 address");
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    const std::string host = Lower(text.substr(0, colon));
    portText = text.substr(colon + 1);
    if (host == "localhost") {
      address.m_host = "127.0.0.1";
    } else if (ParseIpv4(host)) {
      address.m_host = host;
    } else {
      return fail("\"" + host +
                  "\" is no numeric address: give one such as 127.0.0.1, 0.0.0.0 or a "
                  "[IPv6] address, or localhost");
    }
  }
  const auto port = ParsePort(portText);
  if (!port) return fail(kExpected);
  address.m_port = *port;
  return address;
}

bool IsLoopbackAddress(const std::string& host) {
  if (host == "::1") return true;
  const auto parts = ParseIpv4(host);
  return parts && (*parts)[0] == 127;
}

bool CheckBoardToken(const std::string& token, std::string* error) {
  if (token.size() < 12 || token.size() > 256) {
    if (error) *error = "give 12 to 256 characters";
    return false;
  }
  if (!std::all_of(token.begin(), token.end(), IsUnreserved)) {
    if (error) *error = "use only letters, digits, '-', '.', '_' and '~'";
    return false;
  }
  return true;
}

std::string RandomHex(std::size_t bytes) {
  std::random_device random;
  std::string text;
  text.reserve(bytes * 2);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t i = 0; i < bytes; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", byte(random));
    text += hex;
  }
  return text;
}

std::string MakeBoardToken() { return RandomHex(16); }

bool SameSecret(std::string_view given, std::string_view expected) {
  std::size_t difference = given.size() ^ expected.size();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return difference == 0 && !expected.empty();
}

std::optional<BoardRoute> RouteOf(std::string_view rawPath) {
  if (rawPath == "/") return BoardRoute::kPage;
  if (rawPath == "/events") return BoardRoute::kEvents;
  if (rawPath == "/api/state") return BoardRoute::kState;
  if (rawPath == "/api/units") return BoardRoute::kUnits;
  return std::nullopt;
}

BoardAccess MakeBoardAccess(const BoardAddress& address, int boundPort, const std::string& token) {
  BoardAccess access;
  access.m_host = address.m_host;
  access.m_port = boundPort;
  access.m_checkHost = IsLoopbackAddress(address.m_host);
  access.m_token = token.empty() && !access.m_checkHost ? MakeBoardToken() : token;
  return access;
}

int CheckBoardRequest(const BoardAccess& access, const BoardRequest& request) {
  if (access.m_checkHost && (!request.m_host || !HostNamesBoard(access, *request.m_host))) {
    return 403;
  }
  if (!access.m_token.empty()) {
    std::string_view given;
    if (request.m_authorization) {
      given = BearerToken(*request.m_authorization);
    } else if (request.m_queryToken) {
      given = *request.m_queryToken;
    }
    if (!SameSecret(given, access.m_token)) return 401;
  }
  if (request.m_method != "GET" && request.m_method != "HEAD") return 405;
  if (!RouteOf(request.m_rawPath)) return 404;
  return 0;
}

std::string BoardUrl(const BoardAccess& access, const std::string& hostName, bool withToken) {
  const std::string host = IsWildcard(access.m_host) ? hostName : UrlHost(access.m_host);
  std::string url = "http://" + host + ":" + std::to_string(access.m_port) + "/";
  if (withToken && !access.m_token.empty()) url += "?token=" + access.m_token;
  return url;
}

}  // namespace tessarin
