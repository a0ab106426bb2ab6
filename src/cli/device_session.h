// The devices one run of the tool works with: the real backend or simulated
// devices, the optional frame trace, the device manager and the target.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cli/cli_options.h"
#include "hid/hid_device_manager.h"
#include "platform/hid_platform.h"

namespace tessarin {

class SimBackend;
class TraceBackend;
struct TraceEvent;

class DeviceSession {
 public:
  /// Creates the backend (simulated when `options.m_simulate` is set), opens the
  /// trace file when asked and scans. Null on failure, with the message in
  /// *error and the exit code in *exitCode.
  static std::unique_ptr<DeviceSession> Create(const GlobalOptions& options, std::string* error,
                                               int* exitCode);
  /// Closes every handle and saves the simulated EEPROMs.
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  HidDeviceManager& Hid() { return *m_hid; }

  /// Opens the device at `path` (empty: the first device of the scan) as the
  /// current device. Null when there is none, with a message that says what
  /// to do in *error.
  HidDeviceManager::Entry OpenTarget(const std::string& path, std::string* error);

  /// The message for an empty device list: what to check, and the interfaces
  /// the scan skipped with their reasons.
  std::string NoDeviceMessage() const;

  /// Closes the handles, saves changed simulated EEPROMs to their files and
  /// closes the trace. False with the reason and its exit code when a save
  /// (EXIT_DEVICE_FAILED) or a trace write (EXIT_BAD_INPUT) failed. Called by
  /// the destructor too.
  bool Finish(std::string* error, int* exitCode);

 private:
  DeviceSession() = default;
  void WriteTrace(const TraceEvent& event);

  std::unique_ptr<HidBackend> m_backend;
  SimBackend* m_sim = nullptr;  // m_backend, when simulated
  bool m_simDevicesGiven = false;  // the SPEC names or plans a device
  std::unique_ptr<TraceBackend> m_trace;
  std::mutex m_traceGuard;
  std::ofstream m_traceFile;
  std::string m_tracePath;
  std::optional<std::string> m_traceError;  ///< why a trace write failed
  std::unique_ptr<HidDeviceManager> m_hid;
  bool m_finished = false;
};

}  // namespace tessarin
