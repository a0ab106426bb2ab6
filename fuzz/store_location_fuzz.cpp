// The masking of a server store's location under libFuzzer: whatever the
// text, the shown location and a message carry no password libpq would read
// in it, and a file path is shown as it is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "store/pg_connection.h"
#include "store/store_location.h"

namespace {

[[noreturn]] void Leak(const char* what, const std::string& location, const std::string& shown) {
  std::fprintf(stderr, "%s\nlocation: [%s]\nshown:    [%s]\n", what, location.c_str(),
               shown.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Only the location's own password counts here.
  unsetenv("PGPASSWORD");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessarin;
  // A location comes from the command line: a C string, up to its first NUL.
  std::string location(reinterpret_cast<const char*>(data), size);
  location.resize(location.find('\0') == std::string::npos ? size : location.find('\0'));
  const std::string shown = ShownLocation(location);
  if (RecordStoreKindOf(location) == RecordStoreKind::kSqliteFile) {
    if (shown != location) Leak("a file path was changed", location, shown);
    return 0;
  }
  const std::optional<std::string> password = PasswordLibpqReads(location);
  if (!password || password->empty()) return 0;
  // libpq, reading the shown location, finds the mask or nothing.
  if (const auto seen = PasswordLibpqReads(shown); seen && !seen->empty() && *seen != "***") {
    Leak("libpq reads a password in the shown location", location, shown);
  }
  // A message that quotes the password shows the mask instead.
  if (password->find('*') == std::string::npos) {
    const std::string message = WithoutSecrets("before " + *password + " after", location);
    if (message.find(*password) != std::string::npos) {
      Leak("a message keeps the password", location, message);
    }
  }
  return 0;
}
