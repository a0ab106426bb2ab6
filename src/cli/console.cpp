#include "cli/console.h"

#include <cstdio>
#include <ostream>

namespace tessarin {

int Console::Fail(int code, const std::string& message) {
  m_err << "tessarin-cli: " << message << '\n';
  if (m_json) Emit({{"event", "error"}, {"message", message}, {"exitCode", code}});
  m_err.flush();
  return code;
}

void Console::Warn(const std::string& message) {
  m_err << "tessarin-cli: warning: " << message << '\n';
  if (m_json) Emit({{"event", "warning"}, {"message", message}});
}

void Console::Emit(const nlohmann::json& object) {
  // Replace, never throw, on a text that is not valid UTF-8 (a file name).
  m_out << object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  m_out.flush();
}

std::string HexAddress(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
  return text;
}

}  // namespace tessarin
