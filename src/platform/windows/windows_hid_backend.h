// The Windows HID backend: the device set-up interface finds the HID
// interfaces, the HID class driver reads their ids and report lengths and
// carries the reports.
//
// Enumerate() lists the present interfaces of the HID class in the order the
// set-up interface gives them. For each it opens a query handle (no read or
// write access, so that keyboards and mice the system holds can be examined
// too) to read the vendor and product ids and the report lengths, and closes
// it again.
//
// Open() gives the three kinds of handle on an interface path, all shared for
// reading and writing with other programs:
//   kQuery  no access, no flags: ids, capabilities and feature reports;
//   kWrite  GENERIC_WRITE: output reports;
//   kRead   GENERIC_READ, opened for overlapped I/O: input reports.
// Output reports go out with HidD_SetOutputReport (always on the control
// pipe), input reports come back with HidD_GetInputReport, feature reports
// use HidD_SetFeature / HidD_GetFeature. No plain ReadFile or WriteFile is
// ever issued on a handle.
//
// Device changes: when the first listener is installed, the backend starts a
// thread of its own that owns a hidden message-only window registered for
// arrivals and removals of HID interfaces. The listener is called ON THAT
// THREAD, once per arrival or removal, with DEVICE_NODES_CHANGED; front ends
// marshal the call to their own thread (without waiting for it: installing
// a listener waits for a call in progress, so that once
// SetDeviceChangeListener returns, the old listener is done with). The
// thread ends when the backend is destroyed, which must not happen from
// inside the listener.
// DeviceChangeFd() is -1: there is no descriptor to watch.
#pragma once

#include <memory>
#include <string>

#include "platform/hid_platform.h"

namespace tessarin {

/// Class name of the hidden window that receives device changes.
extern const wchar_t* const kDeviceChangeWindowClass;

/// The message for an interface path that CreateFileW refused with the
/// Windows error `code`: names the path and the system's reason and, where
/// the user can act, what to do.
std::string DescribeHidOpenFailure(const std::string& path, unsigned long code);

/// The text Windows gives for an error code, without the trailing line
/// break; "error <code>" when it has none.
std::string WindowsErrorText(unsigned long code);

/// The Windows HID backend. It needs nothing to start, so it is never null.
std::unique_ptr<HidBackend> CreateWindowsHidBackend(std::string* error);

}  // namespace tessarin
