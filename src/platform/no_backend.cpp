// Used only while this OS has no backend of its own.
#include "platform/hid_platform.h"

namespace tessarin {

std::unique_ptr<HidBackend> CreatePlatformHidBackend(std::string* error) {
  if (error) *error = "this build has no HID backend for this system; use --simulate";
  return nullptr;
}

std::string NoDeviceHint() { return "this build has no HID backend: use --simulate"; }

}  // namespace tessarin
