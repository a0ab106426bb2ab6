// The device lock of a manager, for tests that hold it from another thread.
#pragma once

#include "hid/hid_device_manager.h"

namespace tessarin {

class HidDeviceManagerTestAccess {
 public:
  static DeviceMutex& DeviceLock(HidDeviceManager& hid) { return hid.m_mutex; }
};

}  // namespace tessarin
