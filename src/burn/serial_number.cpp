#include "burn/serial_number.h"

#include "hid/protocol.h"

namespace tessarin {

bool IsValidSerialNumber(const std::u16string& serial, std::string* why) {
  if (serial.size() > static_cast<std::size_t>(SERIAL_UNITS_MAX)) {
    *why = "at most " + std::to_string(SERIAL_UNITS_MAX) +
           " UTF-16 code units fit the serial-number descriptor; this one has " +
           std::to_string(serial.size()) + " (a character beyond U+FFFF takes two)";
    return false;
  }
  for (std::size_t i = 0; i < serial.size(); ++i) {
    const char16_t c = serial[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < serial.size() && serial[i + 1] >= 0xDC00 &&
        serial[i + 1] <= 0xDFFF) {
      ++i;  // a pair: one character beyond U+FFFF
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      *why = "it is not valid UTF-8 text (character " + std::to_string(i + 1) + ")";
      return false;
    }
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      *why = "character " + std::to_string(i + 1) + " is a control character";
      return false;
    }
  }
  return true;
}

}  // namespace tessarin
