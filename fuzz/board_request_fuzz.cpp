// Feeds arbitrary requests to the board's access rules and checks what a
// read-only board on the line promises: only GET and HEAD of its four exact
// paths are answered (no "..", no escape, no other spelling of a route), a
// loopback board answers only a Host header naming it, and a board with a
// token answers only a request carrying exactly that token. Also: an address
// that `--board` takes gives a URL whose address parses back to it.
//
// Input: one byte of flags (the board's address, whether it checks the Host
// header, whether it has a token, whether the request leaves out its Host or
// Authorization header), then the method, the path, the Host header, the
// Authorization header and the ?token= value, separated by newlines; a field
// missing from the end is absent.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/board_access.h"

namespace {

using namespace tessarin;

constexpr int kPort = 8080;
constexpr std::string_view kToken = "line-7-token-abc";

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool IsRoute(std::string_view path) {
  return path == "/" || path == "/events" || path == "/api/state" || path == "/api/units";
}

/// The token a request offers: an Authorization header decides alone.
std::string_view Offered(const std::optional<std::string>& authorization,
                         const std::optional<std::string>& query) {
  if (authorization) {
    const std::string_view value(*authorization);
    if (value.size() > 7 && Lower(value.substr(0, 7)) == "bearer ") return value.substr(7);
    return {};
  }
  return query ? std::string_view(*query) : std::string_view();
}

void CheckAddressRoundTrip(std::string_view text) {
  std::string error;
  const auto address = ParseBoardAddress(text, &error);
  if (!address) {
    Check(!error.empty());
    return;
  }
  Check(address->m_port >= 0 && address->m_port <= 65535);
  Check(!address->m_host.empty());
  if (address->m_host == "0.0.0.0" || address->m_host == "::") return;
  // A token is given, so that no random one is made.
  const BoardAccess access = MakeBoardAccess(*address, address->m_port, std::string(kToken));
  Check(access.m_checkHost == IsLoopbackAddress(address->m_host));
  const std::string url = BoardUrl(access, "bench", /*withToken=*/false);
  Check(url.rfind("http://", 0) == 0 && url.back() == '/');
  const auto again = ParseBoardAddress(url.substr(7, url.size() - 8), &error);
  Check(again && again->m_host == address->m_host && again->m_port == address->m_port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (fields.size() < 5) {
    const std::size_t newline = rest.find('\n', at);
    fields.emplace_back(
        rest.substr(at, newline == std::string_view::npos ? newline : newline - at));
    if (newline == std::string_view::npos) break;
    at = newline + 1;
  }
  const auto field = [&](std::size_t i) -> std::optional<std::string> {
    if (i < fields.size()) return fields[i];
    return std::nullopt;
  };
  const std::string method = field(0).value_or("");
  const std::string path = field(1).value_or("");
  const auto host = (flags & 8) != 0 ? std::nullopt : field(2);
  const auto authorization = (flags & 16) != 0 ? std::nullopt : field(3);
  const auto query = field(4);

  BoardAccess access;
  access.m_host = (flags & 1) != 0 ? "::1" : "127.0.0.1";
  access.m_port = kPort;
  access.m_checkHost = (flags & 2) != 0;
  if ((flags & 4) != 0) access.m_token = std::string(kToken);

  BoardRequest request;
  request.m_method = method;
  request.m_rawPath = path;
  request.m_host = host ? &*host : nullptr;
  request.m_authorization = authorization ? &*authorization : nullptr;
  request.m_queryToken = query ? &*query : nullptr;
  const int status = CheckBoardRequest(access, request);

  // No path but the four routes, spelt exactly, is a route.
  const bool route = RouteOf(path).has_value();
  Check(route == IsRoute(path));
  if (path.find("..") != std::string::npos || path.find('%') != std::string::npos ||
      path.find('\\') != std::string::npos) {
    Check(!route);
  }

  const std::string port = ":" + std::to_string(kPort);
  const bool hostOk = !access.m_checkHost ||
                      (host && (Lower(*host) == "localhost" + port ||
                                Lower(*host) == ((flags & 1) != 0 ? "[::1]" : "127.0.0.1") + port));
  const bool tokenOk = access.m_token.empty() || Offered(authorization, query) == kToken;
  const bool methodOk = method == "GET" || method == "HEAD";
  const int expected = !hostOk ? 403 : !tokenOk ? 401 : !methodOk ? 405 : !route ? 404 : 0;
  Check(status == expected);
  // A request that gets through carries the token whole, and names the board.
  if (status == 0 && !access.m_token.empty()) Check(Offered(authorization, query) == kToken);

  // Secrets match only whole, and an empty one matches nothing.
  const std::string a = field(3).value_or("");
  const std::string b = field(4).value_or("");
  Check(SameSecret(a, b) == (a == b && !b.empty()));

  CheckAddressRoundTrip(path);
  return 0;
}
