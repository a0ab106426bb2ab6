// What may go into the device's USB serial-number descriptor.
#pragma once

#include <string>

namespace tessarin {

/// True when `serial` can be written as the serial-number string descriptor:
/// at most SERIAL_UNITS_MAX UTF-16 code units, no unpaired surrogate (text
/// that was not valid UTF-8), no control character. Otherwise false with the
/// reason in *why, in words for the user. An empty serial (clear the
/// descriptor) is valid.
bool IsValidSerialNumber(const std::u16string& serial, std::string* why);

}  // namespace tessarin
