#include "station/port_name.h"

#include <optional>
#include <string_view>
#include <vector>

namespace tessarin {

namespace {

struct Element {
  std::string_view m_name;  // "USB"
  std::string_view m_arg;   // "3"
};

bool AllOf(std::string_view text, bool (*accept)(char)) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!accept(c)) return false;
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool IsNameChar(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z') || c == '_'; }

/// The elements NAME(ARG) of a location path, separated by '#'; empty when
/// the text is not one.
std::optional<std::vector<Element>> SplitLocation(std::string_view path) {
  std::vector<Element> elements;
  while (!path.empty()) {
    const std::size_t end = path.find('#');
    const std::string_view part = path.substr(0, end);
    const std::size_t open = part.find('(');
    if (open == std::string_view::npos || part.back() != ')') return std::nullopt;
    const Element element{part.substr(0, open), part.substr(open + 1, part.size() - open - 2)};
    if (!AllOf(element.m_name, IsNameChar) ||
        element.m_arg.find_first_of("()") != std::string_view::npos) {
      return std::nullopt;
    }
    elements.push_back(element);
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
    if (path.empty()) return std::nullopt;  // a trailing '#'
  }
  return elements;
}

/// "1400-2.3" for a USB port under a PCI host controller; empty for any other shape.
std::string ShortUsbName(const std::vector<Element>& elements) {
  std::size_t at = 0;
  const auto next = [&](std::string_view name) {
    return at < elements.size() && elements[at].m_name == name;
  };
  if (!next("PCIROOT") || !AllOf(elements[at].m_arg, IsDigit)) return "";
  std::string name = elements[at].m_arg == "0" ? "" : std::string(elements[at].m_arg) + ":";
  ++at;
  if (!next("PCI")) return "";
  for (bool first = true; next("PCI"); ++at, first = false) {
    if (!AllOf(elements[at].m_arg, IsHexDigit)) return "";
    name += (first ? "" : ".") + std::string(elements[at].m_arg);
  }
  if (!next("USBROOT") || elements[at].m_arg != "0") return "";
  ++at;
  if (!next("USB")) return "";
  for (bool first = true; next("USB"); ++at, first = false) {
    if (!AllOf(elements[at].m_arg, IsDigit)) return "";
    name += (first ? "-" : ".") + std::string(elements[at].m_arg);
  }
  while (next("USBMI")) ++at;
  return at == elements.size() ? name : "";
}

}  // namespace

std::string PortDisplayName(const std::string& port) {
  const std::optional<std::vector<Element>> elements = SplitLocation(port);
  if (!elements) return port;
  const std::string name = ShortUsbName(*elements);
  return name.empty() ? port : name;
}

}  // namespace tessarin
