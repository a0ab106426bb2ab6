// Starts and stops the throwaway PostgreSQL server one test run shares:
//   pg_test_server_ctl start FILE   starts one and writes its folder to FILE
//   pg_test_server_ctl stop FILE    stops the one FILE names and removes it
// Without the server's programs, start says so and writes nothing: the tests
// then skip.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "support/pg_test_server.h"

namespace {

std::string RootIn(const std::string& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Stops and removes the server `file` names, if any.
void StopNamed(const std::string& file) {
  const std::string root = RootIn(file);
  std::error_code ec;
  std::filesystem::remove(file, ec);
  if (root.empty()) return;
  std::string error;
  auto server = tessarin::PgTestServer::Attach(root, true, &error);
  if (!server) std::filesystem::remove_all(root, ec);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc == 3 ? argv[1] : "";
  if (command != "start" && command != "stop") {
    std::cerr << "usage: pg_test_server_ctl start|stop FILE\n";
    return 2;
  }
  const std::string file = argv[2];
  // A server a run that was cut short left behind goes first.
  StopNamed(file);
  if (command == "stop") return 0;
  std::string error;
  bool missing = false;
  auto server = tessarin::PgTestServer::Start({}, &error, &missing);
  if (!server) {
    std::cout << error << '\n';
    return missing ? 0 : 1;
  }
  std::ofstream(file) << server->Root().string();
  server->Leave();
  std::cout << "PostgreSQL test server in " << server->Root().string() << '\n';
  return 0;
}
