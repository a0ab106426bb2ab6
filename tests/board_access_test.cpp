// Who the board answers: the --board address, the Host check of a loopback
// board, the token of any other, the few routes, and a token compared in a
// time that tells nothing.
#include "board/board_access.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tessarin {
namespace {

TEST(BoardAccess, TheAddressIsAPortOrANumericAddressAndAPort) {
  struct Case {
    const char* text;
    const char* host;  // null: refused
    int port;
  };
  const Case cases[] = {
      {"8080", "127.0.0.1", 8080},
      {"0", "127.0.0.1", 0},
      {"0.0.0.0:80", "0.0.0.0", 80},
      {"192.168.7.20:65535", "192.168.7.20", 65535},
      {"localhost:9000", "127.0.0.1", 9000},
      {"LOCALHOST:9000", "127.0.0.1", 9000},
      {"[::1]:8080", "::1", 8080},
      {"[::]:8080", "::", 8080},
      {"", nullptr, 0},
      {"http", nullptr, 0},
      {"65536", nullptr, 0},
      {"-1", nullptr, 0},
      {"127.0.0.1:", nullptr, 0},
      {":8080", nullptr, 0},
      {"1.2.3:80", nullptr, 0},
      {"256.1.1.1:80", nullptr, 0},
      {"01.2.3.4:80", nullptr, 0},
      {"bench.example:80", nullptr, 0},
      {"[::1]8080", nullptr, 0},
      {"[fe80::1%eth0]:80", nullptr, 0},
      {"127.0.0.1:80:80", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto address = ParseBoardAddress(c.text, &error);
    if (!c.host) {
      EXPECT_FALSE(address);
      EXPECT_FALSE(error.empty());
      continue;
    }
    ASSERT_TRUE(address) << error;
    EXPECT_EQ(address->m_host, c.host);
    EXPECT_EQ(address->m_port, c.port);
  }
}

TEST(BoardAccess, OnlyALoopbackAddressGoesWithoutAToken) {
  struct Case {
    const char* host;
    const char* token;
    bool checkHost;
    bool tokenNeeded;
  };
  const Case cases[] = {
      {"127.0.0.1", "", true, false},
      {"127.44.0.9", "", true, false},
      {"::1", "", true, false},
      {"127.0.0.1", "given-token-123", true, true},
      {"0.0.0.0", "", false, true},
      {"::", "", false, true},
      {"10.1.2.3", "", false, true},
      {"128.0.0.1", "", false, true},
      {"0.0.0.0", "given-token-123", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + c.token);
    const BoardAccess access = MakeBoardAccess({c.host, 0}, 8080, c.token);
    EXPECT_EQ(access.m_checkHost, c.checkHost);
    EXPECT_EQ(access.m_port, 8080);
    EXPECT_EQ(!access.m_token.empty(), c.tokenNeeded);
    if (*c.token) {
      EXPECT_EQ(access.m_token, c.token);
    }
  }
  // Made tokens are 128 random bits, never the same twice.
  std::set<std::string> made;
  for (int i = 0; i < 20; ++i) {
    const std::string token = MakeBoardAccess({"0.0.0.0", 0}, 80, "").m_token;
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    made.insert(token);
  }
  EXPECT_EQ(made.size(), 20u);
}

TEST(BoardAccess, RequestsAreCheckedForHostTokenMethodAndRoute) {
  const BoardAccess loopback = MakeBoardAccess({"127.0.0.1", 0}, 8080, "");
  const BoardAccess ipv6 = MakeBoardAccess({"::1", 0}, 8080, "");
  const BoardAccess tokened = MakeBoardAccess({"0.0.0.0", 0}, 8080, "s3cret-token-1");
  const BoardAccess port80 = MakeBoardAccess({"127.0.0.1", 0}, 80, "");
  struct Case {
    const BoardAccess* access;
    const char* method;
    const char* path;
    const char* host;           // null: none
    const char* authorization;  // null: none
    const char* queryToken;     // null: none
    int status;
  };
  const Case cases[] = {
      {&loopback, "GET", "/", "127.0.0.1:8080", nullptr, nullptr, 0},
      {&loopback, "HEAD", "/events", "localhost:8080", nullptr, nullptr, 0},
      {&loopback, "GET", "/api/state", "LocalHost:8080", nullptr, nullptr, 0},
      {&loopback, "GET", "/api/units", "127.0.0.1:8080", nullptr, nullptr, 0},
      // Another name for the same address is a page of another site.
      {&loopback, "GET", "/", "rebound.example:8080", nullptr, nullptr, 403},
      {&loopback, "GET", "/", "127.0.0.1.rebound.example:8080", nullptr, nullptr, 403},
      {&loopback, "GET", "/", "127.0.0.1:8081", nullptr, nullptr, 403},
      {&loopback, "GET", "/", "127.0.0.1", nullptr, nullptr, 403},
      {&loopback, "GET", "/", "", nullptr, nullptr, 403},
      {&loopback, "GET", "/", nullptr, nullptr, nullptr, 403},
      {&port80, "GET", "/", "localhost", nullptr, nullptr, 0},
      {&ipv6, "GET", "/", "[::1]:8080", nullptr, nullptr, 0},
      {&ipv6, "GET", "/", "localhost:8080", nullptr, nullptr, 0},
      {&ipv6, "GET", "/", "127.0.0.1:8080", nullptr, nullptr, 403},
      // The Host check comes before anything else.
      {&loopback, "POST", "/nowhere", "rebound.example:8080", nullptr, nullptr, 403},
      {&loopback, "POST", "/", "127.0.0.1:8080", nullptr, nullptr, 405},
      {&loopback, "PUT", "/api/state", "127.0.0.1:8080", nullptr, nullptr, 405},
      {&loopback, "DELETE", "/api/units", "127.0.0.1:8080", nullptr, nullptr, 405},
      {&loopback, "OPTIONS", "/", "127.0.0.1:8080", nullptr, nullptr, 405},
      {&loopback, "get", "/", "127.0.0.1:8080", nullptr, nullptr, 405},
      // Any host name goes with the token; nothing goes without it.
      {&tokened, "GET", "/", "bench-3.line.example:8080", nullptr, "s3cret-token-1", 0},
      {&tokened, "GET", "/events", "10.0.0.5:8080", "Bearer s3cret-token-1", nullptr, 0},
      {&tokened, "GET", "/events", "10.0.0.5:8080", "bearer s3cret-token-1", nullptr, 0},
      {&tokened, "GET", "/", "10.0.0.5:8080", nullptr, nullptr, 401},
      {&tokened, "GET", "/", "10.0.0.5:8080", nullptr, "s3cret-token-2", 401},
      {&tokened, "GET", "/", "10.0.0.5:8080", nullptr, "s3cret-token-1x", 401},
      {&tokened, "GET", "/", "10.0.0.5:8080", nullptr, "s3cret-token-", 401},
      {&tokened, "GET", "/", "10.0.0.5:8080", nullptr, "", 401},
      {&tokened, "GET", "/", "10.0.0.5:8080", "Basic czNjcmV0", nullptr, 401},
      {&tokened, "GET", "/", "10.0.0.5:8080", "Bearer ", nullptr, 401},
      // A wrong header is not made good by a right query.
      {&tokened, "GET", "/", "10.0.0.5:8080", "Bearer nope", "s3cret-token-1", 401},
      {&tokened, "POST", "/", "10.0.0.5:8080", nullptr, nullptr, 401},
      {&tokened, "POST", "/", "10.0.0.5:8080", nullptr, "s3cret-token-1", 405},
      {&tokened, "GET", "/..", "10.0.0.5:8080", nullptr, "s3cret-token-1", 404},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(++n);
    const std::string host = c.host ? c.host : "";
    const std::string authorization = c.authorization ? c.authorization : "";
    const std::string token = c.queryToken ? c.queryToken : "";
    BoardRequest request;
    request.m_method = c.method;
    request.m_rawPath = c.path;
    request.m_host = c.host ? &host : nullptr;
    request.m_authorization = c.authorization ? &authorization : nullptr;
    request.m_queryToken = c.queryToken ? &token : nullptr;
    EXPECT_EQ(CheckBoardRequest(*c.access, request), c.status);
  }
}

TEST(BoardAccess, EveryPathButTheRoutesIsNone) {
  const char* routes[] = {"/", "/events", "/api/state", "/api/units"};
  for (const char* path : routes) EXPECT_TRUE(RouteOf(path)) << path;
  const char* none[] = {"",
                        "/..",
                        "/../etc/passwd",
                        "/%2e%2e/%2e%2e/etc/passwd",
                        "/%2E%2E%2Fetc%2Fpasswd",
                        "/.%2e/",
                        "/api/../api/state",
                        "/api/./state",
                        "/api%2Fstate",
                        "/api/state/",
                        "/api/state%00",
                        "//",
                        "//api/state",
                        "/events/..",
                        "/API/STATE",
                        "/index.html",
                        "/board.js",
                        "\\..\\windows",
                        "/%5c..%5c",
                        "api/state",
                        "http://127.0.0.1:8080/api/state"};
  for (const char* path : none) EXPECT_FALSE(RouteOf(path)) << path;
}

TEST(BoardAccess, SecretsMatchOnlyWhole) {
  struct Case {
    const char* given;
    const char* expected;
    bool same;
  };
  const Case cases[] = {
      {"0123456789abcdef", "0123456789abcdef", true},
      {"0123456789abcdeF", "0123456789abcdef", false},
      {"1123456789abcdef", "0123456789abcdef", false},
      {"0123456789abcde", "0123456789abcdef", false},
      {"0123456789abcdef0", "0123456789abcdef", false},
      {"", "0123456789abcdef", false},
      // A board without a token is never opened by an empty one.
      {"", "", false},
      {"x", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameSecret(c.given, c.expected), c.same) << c.given << " / " << c.expected;
  }
  // A NUL inside is compared like any other byte.
  EXPECT_FALSE(SameSecret(std::string("abc\0def", 7), std::string("abc\0deg", 7)));
  EXPECT_TRUE(SameSecret(std::string("abc\0def", 7), std::string("abc\0def", 7)));
}

TEST(BoardAccess, AGivenTokenIsLongEnoughAndGoesIntoAUrlAsItIs) {
  struct Case {
    std::string token;
    bool ok;
  };
  const Case cases[] = {
      {"abcdefghijkl", true},        {"A-b.c_d~e-0123456789", true}, {"abcdefghijk", false},
      {std::string(256, 'a'), true}, {std::string(257, 'a'), false}, {"abcdef ghijkl", false},
      {"abcdefghijkl&x=1", false},   {"abcdefghijkl%41", false},     {"abcdefghijkl\n", false},
      {"abcdéfghijkl", false},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(CheckBoardToken(c.token, &error), c.ok) << c.token;
    EXPECT_EQ(error.empty(), c.ok);
  }
}

TEST(BoardAccess, TheUrlNamesAnAddressABrowserCanOpen) {
  struct Case {
    BoardAddress address;
    const char* token;
    bool withToken;
    const char* url;
  };
  const Case cases[] = {
      {{"127.0.0.1", 0}, "", true, "http://127.0.0.1:8080/"},
      {{"::1", 0}, "", true, "http://[::1]:8080/"},
      {{"0.0.0.0", 0}, "tok-tok-tok-1", true, "http://bench-3:8080/?token=tok-tok-tok-1"},
      {{"::", 0}, "tok-tok-tok-1", true, "http://bench-3:8080/?token=tok-tok-tok-1"},
      {{"10.0.0.5", 0}, "tok-tok-tok-1", true, "http://10.0.0.5:8080/?token=tok-tok-tok-1"},
      {{"10.0.0.5", 0}, "tok-tok-tok-1", false, "http://10.0.0.5:8080/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BoardUrl(MakeBoardAccess(c.address, 8080, c.token), "bench-3", c.withToken), c.url);
  }
}

}  // namespace
}  // namespace tessarin
