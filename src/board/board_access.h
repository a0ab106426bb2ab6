// Who the board answers: where it listens, the Host check that keeps a
// loopback board from a page of another site (DNS rebinding), the token any
// other address needs, and the few routes of a read-only board.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

/// Where the board listens, as `--board` gives it.
struct BoardAddress {
  std::string m_host = "127.0.0.1";  ///< numeric; "localhost" is taken as 127.0.0.1
  int m_port = 0;                    ///< 0: any free port
};

/// Parses "PORT" (on 127.0.0.1), "ADDRESS:PORT" or "[IPv6]:PORT"; the address
/// is numeric or "localhost". Null with the reason in *error.
std::optional<BoardAddress> ParseBoardAddress(std::string_view text, std::string* error);

/// 127.0.0.0/8 or ::1.
bool IsLoopbackAddress(const std::string& host);

/// Checks a token given with --board-token: 12 to 256 of the characters a URL
/// carries as they are (letters, digits, '-', '.', '_', '~'). False with the
/// reason in *error.
bool CheckBoardToken(const std::string& token, std::string* error);

/// A new token: 128 random bits as 32 hex digits.
std::string MakeBoardToken();
/// `bytes` random bytes as hex digits (the nonces of the page).
std::string RandomHex(std::size_t bytes);

/// True when `given` is `expected`, in a time that depends only on the
/// lengths, never on how many leading characters match. An empty `expected`
/// matches nothing.
bool SameSecret(std::string_view given, std::string_view expected);

/// The board's routes; every other path is none.
enum class BoardRoute { kPage, kEvents, kState, kUnits };

/// The route of a path exactly as the request sent it (before any decoding,
/// without the query): "/", "/events", "/api/state", "/api/units". A path
/// with "..", a percent escape or a trailing slash is no route.
std::optional<BoardRoute> RouteOf(std::string_view rawPath);

/// What the board lets through, fixed when it starts.
struct BoardAccess {
  std::string m_host;   ///< the address it listens on
  int m_port = 0;       ///< the port it listens on (never 0 once bound)
  std::string m_token;  ///< empty: none needed
  /// Requests must name the board's own address or localhost in their Host
  /// header: on by default for a loopback address.
  bool m_checkHost = true;
};

/// The access of a board on `address` with `token` (empty: none given): a
/// loopback address checks the Host header; any other needs a token, and
/// one is made when none was given.
BoardAccess MakeBoardAccess(const BoardAddress& address, int boundPort, const std::string& token);

/// The parts of a request the checks read.
struct BoardRequest {
  std::string_view m_method;
  std::string_view m_rawPath;                    ///< as sent, without the query
  const std::string* m_host = nullptr;           ///< the Host header; null: none
  const std::string* m_authorization = nullptr;  ///< the Authorization header; null: none
  const std::string* m_queryToken = nullptr;     ///< the decoded ?token=; null: none
};

/// 0 when the board answers the request; else the status to answer instead,
/// checked in this order: 403 a Host that is not the board's, 401 no token or
/// a wrong one, 405 a method other than GET and HEAD, 404 no route.
int CheckBoardRequest(const BoardAccess& access, const BoardRequest& request);

/// The URL to open: http://HOST:PORT/ with ?token=... when `withToken`. A
/// board on every address (0.0.0.0, ::) is named by `hostName`.
std::string BoardUrl(const BoardAccess& access, const std::string& hostName, bool withToken);

}  // namespace tessarin
