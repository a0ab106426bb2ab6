// A throwaway PostgreSQL server for the server-store tests and benchmarks:
// initdb into a fresh temporary folder (as the unprivileged "postgres" user
// when run as root, since the server refuses root), started on a unix socket
// in that folder (or on 127.0.0.1 with a free port), stopped and removed at
// the end.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tessarin {

class PgTestServer {
 public:
  struct Options {
    bool m_tcp = false;      ///< also listen on 127.0.0.1 (a free port); else the socket only
    bool m_durable = false;  ///< fsync as a real server does (benchmarks); tests save the time
  };

  /// Starts a server. Null with the reason in *error; *missing is set when the
  /// server's programs are not installed (Debian's postgresql package).
  static std::unique_ptr<PgTestServer> Start(const Options& options, std::string* error,
                                             bool* missing = nullptr);
  /// A server another process started (Leave) in `root`; `own`: this object
  /// stops and removes it in the end.
  static std::unique_ptr<PgTestServer> Attach(const std::filesystem::path& root, bool own,
                                              std::string* error);
  /// Stops the server and removes its folder, when this object owns it.
  ~PgTestServer();
  PgTestServer(const PgTestServer&) = delete;
  PgTestServer& operator=(const PgTestServer&) = delete;

  /// Leaves the server running when this object goes (for another process to
  /// attach to).
  void Leave() { m_own = false; }
  const std::filesystem::path& Root() const { return m_root; }

  /// A libpq URI for `database`.
  std::string Uri(const std::string& database) const;
  /// Creates a database no one used before; its name, or empty with the
  /// reason in *error.
  std::string FreshDatabase(std::string* error);
  /// Drops a database, cutting its connections.
  void DropDatabase(const std::string& name);
  /// Runs SQL on `database`; false with the reason.
  bool Execute(const std::string& database, const std::string& sql, std::string* error);
  /// The rows of a query, every field as text (empty for NULL); null when it
  /// failed, with the reason.
  std::unique_ptr<std::vector<std::vector<std::string>>> Rows(const std::string& database,
                                                              const std::string& sql,
                                                              std::string* error);

  /// pg_ctl stop: "immediate" (the closest the server has to a power cut: it
  /// recovers from its WAL on the next start) or "fast".
  bool Stop(const std::string& mode, std::string* error);
  /// Starts it again after Stop.
  bool StartAgain(std::string* error);

 private:
  PgTestServer() = default;
  int RunAsOwner(const std::string& program, const std::vector<std::string>& args,
                 std::string* error);

  std::filesystem::path m_root;
  std::filesystem::path m_bin;
  int m_port = 5432;
  bool m_tcp = false;
  bool m_durable = false;
  bool m_own = true;
  bool m_running = false;
};

/// The server this test process shares with the others: the one the test
/// run's fixture started (the file the variable TESSARIN_PG_TEST_SERVER names
/// holds its folder), else one started for this process and stopped at its
/// exit. Null with the reason in *error; *missing as for Start.
PgTestServer* SharedPgTestServer(std::string* error, bool* missing);

}  // namespace tessarin
