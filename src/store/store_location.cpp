#include "store/store_location.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace tessarin {

namespace {

constexpr const char* kMask = "***";

bool IsUri(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

// The keywords of a PostgreSQL connection string ("host=... dbname=...").
constexpr std::string_view kConnectionKeywords[] = {
    "host",
    "hostaddr",
    "port",
    "dbname",
    "user",
    "password",
    "passfile",
    "service",
    "options",
    "sslmode",
    "sslcert",
    "sslkey",
    "sslrootcert",
    "sslcrl",
    "connect_timeout",
    "application_name",
    "target_session_attrs",
    "client_encoding",
};

bool IsConnectionString(std::string_view location) {
  const std::size_t first = location.find_first_not_of(" \t");
  if (first == std::string_view::npos) return false;
  location.remove_prefix(first);
  const std::size_t equals = location.find('=');
  if (equals == std::string_view::npos) return false;
  std::string_view keyword = location.substr(0, equals);
  while (!keyword.empty() && (keyword.back() == ' ' || keyword.back() == '\t')) {
    keyword.remove_suffix(1);
  }
  return std::find(std::begin(kConnectionKeywords), std::end(kConnectionKeywords), keyword) !=
         std::end(kConnectionKeywords);
}

/// Where a password stands in a location, and its values: as written, as
/// libpq reads it, and any other reading of the same text.
struct Secret {
  std::size_t m_begin;
  std::size_t m_end;
  std::vector<std::string> m_values;
};

// The blanks of C's isspace, which libpq splits a "key=value" string at.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

/// The passwords of a URI: in its user information and its parameters.
/// libpq ends the user information at the first '@' before any '/', even one
/// after a '?'; the part masked goes on to the last '@' there, so that no
/// reading of it shows a piece of the password.
std::vector<Secret> UriSecrets(std::string_view uri) {
  std::vector<Secret> secrets;
  const std::size_t start = uri.find("://") + 3;
  const std::size_t slash = std::min(uri.find('/', start), uri.size());
  const std::size_t firstAt = uri.substr(0, slash).find('@', start);
  std::size_t query = start;  // where libpq's parameters may begin
  if (firstAt != std::string_view::npos) {
    query = firstAt + 1;
    const std::size_t lastAt = uri.substr(0, slash).rfind('@');
    const std::size_t colon = uri.substr(0, firstAt).find(':', start);
    if (colon != std::string_view::npos) {
      const std::size_t begin = colon + 1;
      const std::string_view read = uri.substr(begin, firstAt - begin);
      const std::string_view masked = uri.substr(begin, lastAt - begin);
      secrets.push_back(
          {begin,
           lastAt,
           {std::string(masked), PercentDecoded(masked), std::string(read), PercentDecoded(read)}});
    }
  }
  // Every '?' and '&' may begin a parameter (a '?' in a bracketed host
  // too); a value ends at the next '&' only, as libpq reads it. One that
  // begins in a password masked already widens that mask, and its value is
  // one more reading of it.
  std::size_t covered = secrets.empty() ? 0 : secrets.back().m_end;
  for (std::size_t item = uri.find_first_of("?&", query); item != std::string_view::npos;
       item = uri.find_first_of("?&", item + 1)) {
    const std::size_t begin = item + 1;
    const std::size_t end = std::min(uri.find('&', begin), uri.size());
    const std::string_view pair = uri.substr(begin, end - begin);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos || PercentDecoded(pair.substr(0, equals)) != "password") {
      continue;
    }
    const std::size_t value = begin + equals + 1;
    const std::string_view written = uri.substr(value, end - value);
    std::vector<std::string> values = {std::string(written), PercentDecoded(written)};
    if (begin < covered) {
      secrets.back().m_end = std::max(end, covered);
      secrets.back().m_values.insert(secrets.back().m_values.end(), values.begin(), values.end());
    } else {
      secrets.push_back({value, end, std::move(values)});
    }
    covered = std::max(end, covered);
  }
  return secrets;
}

/// The passwords of a "key=value ..." string, read as libpq reads it:
/// blanks around '=', values in single quotes, backslash escapes.
std::vector<Secret> KeywordSecrets(std::string_view text) {
  std::vector<Secret> secrets;
  std::size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < text.size() && IsBlank(text[i])) ++i;
  };
  while (true) {
    skipBlanks();
    if (i >= text.size()) break;
    const std::size_t keyBegin = i;
    while (i < text.size() && text[i] != '=' && !IsBlank(text[i])) ++i;
    const std::string_view key = text.substr(keyBegin, i - keyBegin);
    skipBlanks();
    if (i >= text.size() || text[i] != '=') continue;
    ++i;
    skipBlanks();
    const bool quoted = i < text.size() && text[i] == '\'';
    if (quoted) ++i;
    const std::size_t valueBegin = i;
    std::string value;
    while (i < text.size()) {
      const char c = text[i];
      if (quoted ? c == '\'' : IsBlank(c)) break;
      if (c == '\\') {  // escapes the next character; at the end, nothing
        if (++i == text.size()) break;
      }
      value += text[i++];
    }
    const std::size_t valueEnd = i;
    if (quoted && i < text.size()) ++i;
    if (key == "password") {
      secrets.push_back({valueBegin,
                         valueEnd,
                         {std::string(text.substr(valueBegin, valueEnd - valueBegin)), value}});
    }
  }
  return secrets;
}

std::vector<Secret> SecretsOf(const std::string& location) {
  const std::string_view text(location);
  if (IsUri(text)) return UriSecrets(text);
  return RecordStoreKindOf(location) == RecordStoreKind::kServer ? KeywordSecrets(text)
                                                                 : std::vector<Secret>{};
}

}  // namespace

RecordStoreKind RecordStoreKindOf(const std::string& location) {
  const std::string_view text(location);
  if (IsUri(text)) {
    return RecordStoreKind::kServer;
  }
  return IsConnectionString(text) ? RecordStoreKind::kServer : RecordStoreKind::kSqliteFile;
}

std::string ShownLocation(const std::string& location) {
  // A mask can join what the password kept apart (a '/' or '@' in it makes
  // the rest read otherwise): the shown text is masked again until every
  // password in it reads "***". One that does not settle is shown with
  // nothing after its scheme.
  std::string shown = location;
  for (int round = 0; round < 4; ++round) {
    const std::vector<Secret> secrets = SecretsOf(shown);
    const bool settled = std::all_of(secrets.begin(), secrets.end(), [&](const Secret& s) {
      return shown.compare(s.m_begin, s.m_end - s.m_begin, kMask) == 0;
    });
    if (settled) return shown;
    for (auto it = secrets.rbegin(); it != secrets.rend(); ++it) {
      shown.replace(it->m_begin, it->m_end - it->m_begin, kMask);
    }
  }
  return (IsUri(location) ? location.substr(0, location.find("://") + 3) : std::string()) + kMask;
}

std::string WithoutSecrets(std::string text, const std::string& location) {
  std::vector<std::string> secrets;
  for (const Secret& s : SecretsOf(location)) {
    secrets.insert(secrets.end(), s.m_values.begin(), s.m_values.end());
  }
  if (const char* environment = std::getenv("PGPASSWORD")) secrets.emplace_back(environment);
  std::sort(secrets.begin(), secrets.end());
  secrets.erase(std::unique(secrets.begin(), secrets.end()), secrets.end());
  // Every place of every password is found in the text as it came, and each
  // run of such places becomes one mask: a mask is never searched again (a
  // password "*" would otherwise grow every mask before it).
  std::vector<bool> secret(text.size(), false);
  for (const std::string& value : secrets) {
    if (value.empty()) continue;
    for (std::size_t at = text.find(value); at != std::string::npos;
         at = text.find(value, at + 1)) {
      std::fill_n(secret.begin() + static_cast<std::ptrdiff_t>(at), value.size(), true);
    }
  }
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!secret[i]) {
      shown += text[i];
    } else if (i == 0 || !secret[i - 1]) {
      shown += kMask;
    }
  }
  return shown;
}

}  // namespace tessarin
