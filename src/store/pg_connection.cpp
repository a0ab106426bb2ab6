#include "store/pg_connection.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "store/store_location.h"

namespace tessarin {

namespace {

/// The defaults a station connects with unless the location or libpq's
/// environment says otherwise: a server that cannot be reached is given up
/// within seconds, and a connection whose other side went silent is found
/// dead by both sides within about half a minute.
struct Default {
  const char* m_keyword;
  const char* m_value;
  const char* m_environment;  // the variable that gives it instead; null: none
};
constexpr Default kDefaults[] = {
    {"connect_timeout", "10", "PGCONNECT_TIMEOUT"},
    {"keepalives", "1", nullptr},
    {"keepalives_idle", "10", nullptr},
    {"keepalives_interval", "5", nullptr},
    {"keepalives_count", "3", nullptr},
    {"tcp_user_timeout", "20000", nullptr},
    {"fallback_application_name", "tessarin-station", nullptr},
    {"client_encoding", "UTF8", "PGCLIENTENCODING"},
};

/// libpq's message on one line: its line breaks and tabs become one blank.
std::string Trimmed(const std::string& text) {
  std::string line;
  for (char c : text) {
    const bool blank = c == '\n' || c == '\t' || c == '\r' || c == ' ';
    if (blank && (line.empty() || line.back() == ' ')) continue;
    line += blank ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// libpq's notices ("relation already exists, skipping") are no business of
// the operator's.
void IgnoreNotice(void*, const char*) {}

}  // namespace

PgResult& PgResult::operator=(PgResult&& other) noexcept {
  if (this != &other) {
    PQclear(m_result);
    m_result = other.m_result;
    other.m_result = nullptr;
  }
  return *this;
}

PgResult::~PgResult() { PQclear(m_result); }

bool PgResult::Ok() const {
  const ExecStatusType status = m_result ? PQresultStatus(m_result) : PGRES_FATAL_ERROR;
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int PgResult::Rows() const { return m_result ? PQntuples(m_result) : 0; }

int PgResult::Columns() const { return m_result ? PQnfields(m_result) : 0; }

std::string PgResult::Text(int row, int column) const {
  if (!m_result || row >= PQntuples(m_result) || PQgetisnull(m_result, row, column)) return "";
  return std::string(PQgetvalue(m_result, row, column),
                     static_cast<std::size_t>(PQgetlength(m_result, row, column)));
}

std::int64_t PgResult::Int(int row, int column) const {
  const std::string text = Text(row, column);
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::int64_t PgResult::Changed() const {
  const char* text = m_result ? PQcmdTuples(m_result) : "";
  std::int64_t value = 0;
  std::from_chars(text, text + std::char_traits<char>::length(text), value);
  return value;
}

std::string PgResult::SqlState() const {
  const char* state = m_result ? PQresultErrorField(m_result, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

std::string PgResult::Message() const {
  const char* message = m_result ? PQresultErrorField(m_result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  return message ? message : "";
}

std::unique_ptr<PgConnection> PgConnection::Connect(const std::string& location,
                                                    std::string* error) {
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (const Default& d : kDefaults) {
    if (d.m_environment && std::getenv(d.m_environment)) continue;
    keywords.push_back(d.m_keyword);
    values.push_back(d.m_value);
  }
  // The location last: what it names overrides the defaults above.
  keywords.push_back("dbname");
  values.push_back(location.c_str());
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  pg_conn* conn = PQconnectdbParams(keywords.data(), values.data(), 1);
  if (!conn) {
    if (error) *error = "out of memory";
    return nullptr;
  }
  std::unique_ptr<PgConnection> connection(new PgConnection(conn, location));
  if (PQstatus(conn) != CONNECTION_OK) {
    if (error) {
      std::string why = Trimmed(PQerrorMessage(conn));
      // A connection string libpq could not read may be echoed in its
      // message, password and all: then only the fact is told.
      char* parseError = nullptr;
      PQconninfoOption* parsed = PQconninfoParse(location.c_str(), &parseError);
      if (parsed) {
        PQconninfoFree(parsed);
      } else {
        why =
            "the connection string cannot be read (see libpq's documentation of connection "
            "strings and URIs)";
      }
      PQfreemem(parseError);
      *error = WithoutSecrets(why, location);
    }
    return nullptr;
  }
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
  return connection;
}

PgConnection::~PgConnection() { PQfinish(m_conn); }

PgResult PgConnection::Exec(const std::string& sql, const std::vector<PgParam>& params) {
  // Only the simple protocol takes several statements at once.
  if (params.empty()) return PgResult(PQexec(m_conn, sql.c_str()));
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const PgParam& p : params) values.push_back(p ? p->c_str() : nullptr);
  return PgResult(PQexecParams(m_conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
}

std::optional<std::string> PgConnection::Inline(const std::string& sql,
                                                const std::vector<PgParam>& params) {
  std::string out;
  out.reserve(sql.size() + 64);
  for (std::size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] != '$' || i + 1 >= sql.size() || sql[i + 1] < '0' || sql[i + 1] > '9') {
      out += sql[i];
      continue;
    }
    std::size_t end = i + 1;
    std::size_t index = 0;
    while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') {
      index = index * 10 + static_cast<std::size_t>(sql[end] - '0');
      ++end;
    }
    if (index == 0 || index > params.size()) return std::nullopt;
    const PgParam& value = params[index - 1];
    if (!value) {
      out += "NULL";
    } else {
      char* quoted = PQescapeLiteral(m_conn, value->data(), value->size());
      if (!quoted) return std::nullopt;
      out += quoted;
      PQfreemem(quoted);
    }
    i = end - 1;
  }
  return out;
}

std::string PgConnection::ErrorOf(const PgResult& result) const {
  std::string why = Trimmed(result.Message());
  if (why.empty()) why = Trimmed(PQerrorMessage(m_conn));
  if (why.empty()) why = "the server gave no answer";
  return WithoutSecrets(why, m_location);
}

bool PgConnection::Lost(const PgResult& result) const {
  if (PQstatus(m_conn) != CONNECTION_OK) return true;
  const std::string state = result.SqlState();
  // 08: connection exceptions; 57P01-57P03: the server shuts down, crashed
  // or is starting up.
  return state.starts_with("08") || state == "57P01" || state == "57P02" || state == "57P03";
}

int PgConnection::BackendPid() const { return PQbackendPID(m_conn); }

std::optional<std::string> PasswordLibpqReads(const std::string& location) {
  char* parseError = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &parseError);
  PQfreemem(parseError);
  if (!options) return std::nullopt;
  std::string password;
  for (const PQconninfoOption* o = options; o->keyword; ++o) {
    if (std::string_view(o->keyword) == "password" && o->val) password = o->val;
  }
  PQconninfoFree(options);
  return password;
}

}  // namespace tessarin
