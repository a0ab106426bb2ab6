// The Linux HID backend: hidraw nodes, found and watched through libudev.
//
// Enumerate() reads ids and the report descriptor from sysfs (which needs no
// permission on the node) and computes the report lengths from it. Handles
// are plain file descriptors on /dev/hidrawN: output reports go out with
// write(), input reports come back with HIDIOCGINPUT, feature reports use
// HIDIOCSFEATURE / HIDIOCGFEATURE.
//
// Device changes: a libudev monitor (source "udev", subsystems "hidraw" and
// "usb" devices) is bound when the backend is created. DeviceChangeFd() is its
// socket; when it becomes readable, the thread that watches it calls
// ProcessDeviceChanges(), which drains the queued events and calls the
// listener on that same thread once, with DEVICE_NODES_CHANGED, when any of
// them is an "add" or a "remove". The backend starts no thread of its own.
// Replacing the listener from another thread waits for a call in progress.
// Enumerate() and Open() may run on another thread than the watching one
// (each enumeration uses a libudev context of its own).
//
// Open modes: kQuery opens O_RDWR, kWrite O_WRONLY, kRead O_RDONLY, all
// O_CLOEXEC and blocking. hidraw does not check the access mode for its
// report ioctls, so the modes follow what each handle does; the query handle
// sends and fetches feature reports, so a node the user can only read fails
// at open, with the rule that fixes it, rather than at the first exchange.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_platform.h"

namespace tessarin {

/// Where the install puts the rule that gives the user at the seat access to
/// the devices (the configured prefix).
extern const char* const kUdevRulePath;

/// The places a rule may be installed: kUdevRulePath first, then /etc, /usr/lib,
/// /lib and /usr/local/lib's rules.d.
std::vector<std::string> UdevRuleCandidates();

/// What the user does about access: names the rule where `exists` finds it
/// (and says how to apply it), or says that none is installed and how to
/// install it.
std::string UdevRuleAdvice(const std::function<bool(const std::string&)>& exists);

/// The message for a hidraw node that open() refused with `err`: names the
/// node and the OS reason; for a permission failure, also the udev rule that
/// fixes it and the command that makes udev apply it.
std::string DescribeHidrawOpenFailure(const std::string& node, int err);

/// The hidraw backend; null (with `error` set) when libudev cannot start.
std::unique_ptr<HidBackend> CreateHidrawBackend(std::string* error);

}  // namespace tessarin
