#include "support/pg_test_server.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include "store/pg_connection.h"
#include "support/test_os.h"

namespace tessarin {

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The newest installed server's programs: TESSARIN_PG_BIN, else Debian's
/// /usr/lib/postgresql/<version>/bin.
fs::path FindServerBin() {
  if (const char* given = std::getenv("TESSARIN_PG_BIN")) return given;
  fs::path best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const fs::path bin = entry.path() / "bin";
    if (!fs::exists(bin / "initdb", ec) || !fs::exists(bin / "pg_ctl", ec)) continue;
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > bestVersion) {
      bestVersion = version;
      best = bin;
    }
  }
  return best;
}

/// Whom the server runs as: the server refuses root, so root hands it to
/// the "postgres" user the package makes (else "nobody").
struct Owner {
  bool m_switch = false;  // run the server's programs through runuser
  std::string m_name;
  uid_t m_uid = 0;
  gid_t m_gid = 0;
};

Owner FindOwner() {
  Owner owner;
  if (::geteuid() != 0) return owner;
  owner.m_switch = true;
  for (const char* name : {"postgres", "nobody"}) {
    if (const passwd* entry = ::getpwnam(name)) {
      owner.m_name = name;
      owner.m_uid = entry->pw_uid;
      owner.m_gid = entry->pw_gid;
      break;
    }
  }
  return owner;
}

fs::path RunUser() {
  for (const char* path : {"/usr/sbin/runuser", "/sbin/runuser", "/usr/bin/runuser"}) {
    std::error_code ec;
    if (fs::exists(path, ec)) return path;
  }
  return {};
}

int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace

std::unique_ptr<PgTestServer> PgTestServer::Start(const Options& options, std::string* error,
                                                  bool* missing) {
  if (missing) *missing = false;
  const fs::path bin = FindServerBin();
  if (bin.empty()) {
    if (missing) *missing = true;
    if (error) {
      *error =
          "no PostgreSQL server programs (initdb, pg_ctl) in /usr/lib/postgresql/*/bin; "
          "install Debian's postgresql package (or name the folder in TESSARIN_PG_BIN)";
    }
    return nullptr;
  }
  const Owner owner = FindOwner();
  if (owner.m_switch && (owner.m_name.empty() || RunUser().empty())) {
    if (missing) *missing = true;
    if (error) *error = "running as root, but there is no postgres user or no runuser";
    return nullptr;
  }
  std::string pattern = (fs::temp_directory_path() / "tessarin-pg-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    if (error) *error = "mkdtemp: " + std::generic_category().message(errno);
    return nullptr;
  }
  std::unique_ptr<PgTestServer> server(new PgTestServer);
  server->m_root = pattern;
  server->m_bin = bin;
  server->m_tcp = options.m_tcp;
  server->m_durable = options.m_durable;
  std::error_code ec;
  fs::create_directories(server->m_root / "sock", ec);
  if (owner.m_switch) {
    for (const fs::path& p : {server->m_root, server->m_root / "sock"}) {
      if (::chown(p.c_str(), owner.m_uid, owner.m_gid) != 0) {
        if (error) *error = "chown " + p.string() + ": " + std::generic_category().message(errno);
        return nullptr;
      }
    }
  }
  if (server->RunAsOwner((bin / "initdb").string(),
                         {"-D", (server->m_root / "data").string(), "-A", "trust", "-U", "postgres",
                          "-E", "UTF8", "--locale=C.UTF-8", "--no-sync", "--no-instructions"},
                         error) != 0) {
    return nullptr;
  }
  server->m_port = options.m_tcp ? FreeTcpPort() : 5432;
  {
    std::ofstream out(server->m_root / "port");
    out << server->m_port << ' ' << (server->m_tcp ? 1 : 0) << ' ' << (server->m_durable ? 1 : 0)
        << '\n';
  }
  if (!server->StartAgain(error)) return nullptr;
  return server;
}

std::unique_ptr<PgTestServer> PgTestServer::Attach(const fs::path& root, bool own,
                                                   std::string* error) {
  std::ifstream in(root / "port");
  int port = 0;
  int tcp = 0;
  int durable = 0;
  if (!(in >> port >> tcp >> durable)) {
    if (error) *error = "no test server in " + root.string();
    return nullptr;
  }
  std::unique_ptr<PgTestServer> server(new PgTestServer);
  server->m_root = root;
  server->m_bin = FindServerBin();
  server->m_port = port;
  server->m_tcp = tcp != 0;
  server->m_durable = durable != 0;
  server->m_own = own;
  server->m_running = true;
  return server;
}

PgTestServer::~PgTestServer() {
  if (!m_own) return;
  if (m_running) Stop("fast", nullptr);
  std::error_code ec;
  fs::remove_all(m_root, ec);
}

int PgTestServer::RunAsOwner(const std::string& program, const std::vector<std::string>& args,
                             std::string* error) {
  const Owner owner = FindOwner();
  std::vector<std::string> all;
  fs::path run = program;
  if (owner.m_switch) {
    run = RunUser();
    all = {"-u", owner.m_name, "--", program};
  }
  all.insert(all.end(), args.begin(), args.end());
  std::string why;
  const fs::path out = m_root / "command.out";
  const fs::path err = m_root / "command.err";
  const int code = RunProgram(run, all, out, err, &why);
  if (code != 0 && error) {
    *error = fs::path(program).filename().string() + " failed (" + std::to_string(code) +
             "): " + why + ReadFile(err) + ReadFile(out) + ReadFile(m_root / "log");
  }
  return code;
}

bool PgTestServer::StartAgain(std::string* error) {
  std::string settings = "-k " + (m_root / "sock").string() + " -p " + std::to_string(m_port) +
                         " -c listen_addresses=" + (m_tcp ? "127.0.0.1" : "''") +
                         " -c max_connections=200";
  // Durability against a crash of the machine costs time the tests need not
  // spend: an immediate stop of the server keeps what the system cached.
  if (!m_durable) settings += " -c fsync=off -c full_page_writes=off";
  const int code = RunAsOwner((m_bin / "pg_ctl").string(),
                              {"-D", (m_root / "data").string(), "-l", (m_root / "log").string(),
                               "-w", "-t", "60", "-o", settings, "start"},
                              error);
  m_running = code == 0;
  return m_running;
}

bool PgTestServer::Stop(const std::string& mode, std::string* error) {
  const int code = RunAsOwner((m_bin / "pg_ctl").string(),
                              {"-D", (m_root / "data").string(), "-m", mode, "-w", "stop"}, error);
  if (code == 0) m_running = false;
  return code == 0;
}

std::string PgTestServer::Uri(const std::string& database) const {
  if (m_tcp) {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(m_port) + "/" + database;
  }
  return "postgresql://postgres@/" + database + "?host=" + (m_root / "sock").string() +
         "&port=" + std::to_string(m_port);
}

std::string PgTestServer::FreshDatabase(std::string* error) {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007;
  const std::string name = std::string("t") + std::to_string(CurrentProcessId()) + "_" +
                           std::to_string(counter++) + "_" + std::to_string(stamp);
  // A copy of the file tree is the faster way where the server knows it.
  if (Execute("postgres", "CREATE DATABASE " + name + " STRATEGY FILE_COPY", nullptr) ||
      Execute("postgres", "CREATE DATABASE " + name, error)) {
    return name;
  }
  return "";
}

void PgTestServer::DropDatabase(const std::string& name) {
  if (!Execute("postgres", "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)", nullptr)) {
    Execute("postgres", "DROP DATABASE IF EXISTS " + name, nullptr);
  }
}

bool PgTestServer::Execute(const std::string& database, const std::string& sql,
                           std::string* error) {
  return Rows(database, sql, error) != nullptr;
}

std::unique_ptr<std::vector<std::vector<std::string>>> PgTestServer::Rows(
    const std::string& database, const std::string& sql, std::string* error) {
  const auto connection = PgConnection::Connect(Uri(database), error);
  if (!connection) return nullptr;
  const PgResult result = connection->Exec(sql);
  if (!result.Ok()) {
    if (error) *error = connection->ErrorOf(result);
    return nullptr;
  }
  auto rows = std::make_unique<std::vector<std::vector<std::string>>>();
  for (int row = 0; row < result.Rows(); ++row) {
    std::vector<std::string> fields;
    for (int column = 0; column < result.Columns(); ++column) {
      fields.push_back(result.Text(row, column));
    }
    rows->push_back(std::move(fields));
  }
  return rows;
}

PgTestServer* SharedPgTestServer(std::string* error, bool* missing) {
  static std::mutex mutex;
  static std::unique_ptr<PgTestServer> server;
  static std::string failure;
  static bool absent = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (!server && failure.empty()) {
    if (const char* file = std::getenv("TESSARIN_PG_TEST_SERVER")) {
      const std::string root = ReadFile(file);
      if (!root.empty()) server = PgTestServer::Attach(root, false, &failure);
    }
    if (!server && failure.empty()) server = PgTestServer::Start({}, &failure, &absent);
  }
  if (missing) *missing = absent;
  if (!server && error) *error = failure;
  return server.get();
}

}  // namespace tessarin
