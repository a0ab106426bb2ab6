// One connection to a PostgreSQL server through libpq, and its results, each
// behind an owner that frees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace tessarin {

/// A statement's result; frees it in its destructor.
class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(pg_result* result) : m_result(result) {}
  PgResult(PgResult&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
  PgResult& operator=(PgResult&& other) noexcept;
  ~PgResult();
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;

  /// The statement ran (with or without rows).
  bool Ok() const;
  int Rows() const;
  int Columns() const;
  /// The text of a field; empty for NULL.
  std::string Text(int row, int column) const;
  std::int64_t Int(int row, int column) const;
  /// The rows a statement without RETURNING changed.
  std::int64_t Changed() const;
  /// The SQLSTATE of a failure ("40P01"); empty when there is none.
  std::string SqlState() const;
  /// The server's primary message of a failure; empty when there is none.
  std::string Message() const;

 private:
  pg_result* m_result = nullptr;
};

/// What a text parameter of a statement is: a value, or SQL NULL.
using PgParam = std::optional<std::string>;

class PgConnection {
 public:
  /// Connects to `location` (a libpq URI or key=value string; libpq's
  /// environment variables and service file fill in what it leaves out). The
  /// station's own defaults come first, so the location overrides them: a
  /// connect timeout, TCP keepalives and an application name. Null with the
  /// reason in *error; no password is ever in it.
  static std::unique_ptr<PgConnection> Connect(const std::string& location, std::string* error);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  /// Runs one statement with text parameters ($1, $2, ...), or without
  /// parameters any number of statements (the last one's result).
  PgResult Exec(const std::string& sql, const std::vector<PgParam>& params = {});
  /// `sql` with its parameters ($1, $2, ...) written in as quoted literals
  /// (NULL for a null one), to be run together with other statements in one
  /// round trip; null when a value cannot be quoted (not in the connection's
  /// encoding).
  std::optional<std::string> Inline(const std::string& sql, const std::vector<PgParam>& params);
  /// The reason `result` failed, for a message: the server's message, or
  /// what libpq knows of the connection; no password is ever in it.
  std::string ErrorOf(const PgResult& result) const;
  /// Whether `result` failed because the connection or the server is gone:
  /// the call may be made again once connected anew.
  bool Lost(const PgResult& result) const;
  /// The process id of the server's side of this connection.
  int BackendPid() const;

 private:
  PgConnection(pg_conn* conn, std::string location)
      : m_conn(conn), m_location(std::move(location)) {}

  pg_conn* m_conn;
  std::string m_location;  // to take its secrets out of messages
};

/// The password libpq reads in `location` (a URI or key=value string, without
/// what its environment and service file add): empty when the location
/// names none, null when libpq cannot read it.
std::optional<std::string> PasswordLibpqReads(const std::string& location);

}  // namespace tessarin
