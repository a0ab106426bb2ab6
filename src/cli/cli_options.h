// What the command line asked for, one struct per command; filled by the
// argument parser in main.cpp, read by the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessarin {

/// Options every command takes.
struct GlobalOptions {
  std::string simulate;  ///< --simulate SPEC; empty: the real devices
  std::string trace;     ///< --trace FILE; empty: no trace
  bool json = false;     ///< --json
};

struct ListOptions {
  bool all = false;
};

struct InfoOptions {
  std::string device;  ///< empty: the first device of the scan
};

struct ImageOptions {
  std::string file;
  std::string device;
};

struct BurnOptions {
  std::string file;
  std::string device;
  std::optional<std::string> serial;  ///< UTF-8; absent or empty: clear the descriptor
  std::string backup;                 ///< empty: no backup
  bool force = false;
};

struct VerifyOptions {
  std::string file;
  std::string device;
};

struct DumpOptions {
  std::string file;
  std::string device;
};

struct MakeImageOptions {
  std::string out;
  std::int64_t size = 32768;
  std::string version = "1.0";
  std::int64_t cur = 1;
  std::string vid;  ///< hex, with --pid; empty: no identifier block
  std::string pid;
};

}  // namespace tessarin
