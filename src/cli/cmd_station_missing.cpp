// The station's commands where the tool was built without SQLite and
// OpenSSL's libcrypto: each says so.
#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace tessarin {

namespace {

int Missing(Console& console) {
  return console.Fail(EXIT_BAD_INPUT,
                      "this tessarin-cli was built without the production station (it needs "
                      "SQLite 3 and OpenSSL's libcrypto at build time)");
}

}  // namespace

int RunStation(const GlobalOptions&, const StationOptions&, Console& console) {
  return Missing(console);
}
int RunRecords(const GlobalOptions&, const RecordsOptions&, Console& console) {
  return Missing(console);
}
int RunReleaseSerial(const GlobalOptions&, const ReleaseSerialOptions&, Console& console) {
  return Missing(console);
}
int RunImportRecords(const GlobalOptions&, const ImportRecordsOptions&, Console& console) {
  return Missing(console);
}

}  // namespace tessarin
