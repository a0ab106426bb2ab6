// Where a command writes: results to the output stream, errors and hints to
// the error stream, and in JSON mode one JSON object per line on the output.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>

#include "hid/device_id.h"

namespace tessarin {

struct Console {
  std::ostream& m_out;
  std::ostream& m_err;
  bool m_json = false;

  /// Prints `message` as an error ("tessarin-cli: <message>") and, in JSON
  /// mode, also {"event":"error","message":...,"exitCode":code} on the
  /// output; returns `code`.
  int Fail(int code, const std::string& message);
  /// A warning on the error stream (and {"event":"warning"} in JSON mode).
  void Warn(const std::string& message);
  /// One JSON object on its own line.
  void Emit(const nlohmann::json& object);
};

/// "0x7FC0".
std::string HexAddress(std::uint32_t address);

}  // namespace tessarin
