#include "cli/device_session.h"

#include <cerrno>
#include <cstring>

#include "cli/exit_codes.h"
#include "platform/trace_backend.h"
#include "sim/backend_choice.h"
#include "sim/sim_backend.h"

namespace tessarin {

std::unique_ptr<DeviceSession> DeviceSession::Create(const GlobalOptions& options,
                                                     std::string* error, int* exitCode) {
  std::unique_ptr<DeviceSession> session(new DeviceSession);
  ChosenBackend chosen = ChooseHidBackend(options.m_simulate);
  switch (chosen.m_failure) {
    case BackendFailure::kNone:
      break;
    case BackendFailure::kBadSpec:
    case BackendFailure::kSimFailed:
      *error = chosen.m_error;
      *exitCode = EXIT_BAD_INPUT;
      return nullptr;
    case BackendFailure::kNoPlatform:
      *error = "cannot reach the HID devices: " + chosen.m_error;
      *exitCode = EXIT_NO_DEVICE;
      return nullptr;
  }
  session->m_sim = chosen.m_sim;
  session->m_simDevicesGiven = chosen.m_simDevicesGiven;
  session->m_backend = std::move(chosen.m_backend);

  HidBackend* backend = session->m_backend.get();
  if (!options.m_trace.empty()) {
    session->m_tracePath = options.m_trace;
    session->m_traceFile.open(options.m_trace, std::ios::out | std::ios::trunc);
    if (!session->m_traceFile) {
      *error = "--trace: cannot create " + options.m_trace + ": check the directory and its rights";
      *exitCode = EXIT_BAD_INPUT;
      return nullptr;
    }
    DeviceSession* self = session.get();
    session->m_trace = std::make_unique<TraceBackend>(
        *backend, [self](const TraceEvent& event) { self->WriteTrace(event); });
    backend = session->m_trace.get();
  }

  session->m_hid = std::make_unique<HidDeviceManager>(*backend);
  session->m_hid->Scan();
  return session;
}

DeviceSession::~DeviceSession() {
  std::string ignored;
  int code = 0;
  Finish(&ignored, &code);
}

HidDeviceManager::Entry DeviceSession::OpenTarget(const std::string& path, std::string* error) {
  const auto& entries = m_hid->Entries();
  for (const auto& skipped : m_hid->Skipped()) {
    // The device asked for, or the only one there, is in another program's hands.
    const bool wanted = path.empty() ? entries.empty() : skipped.m_info.m_path == path;
    if (wanted && skipped.m_why == SkipReason::kBusy) {
      *error = "device busy: another program is burning or reading " + skipped.m_info.m_path +
               "; wait until it has finished, then try again";
      return nullptr;
    }
  }
  if (entries.empty()) {
    *error = NoDeviceMessage();
    return nullptr;
  }
  HidDeviceManager::Entry target = entries.front();
  if (!path.empty()) {
    target = nullptr;
    for (const auto& entry : entries) {
      if (entry->devicePath == path) target = entry;
    }
    if (!target) {
      *error = "no device at " + path;
      for (const auto& skipped : m_hid->Skipped()) {
        if (skipped.m_info.m_path == path) *error += ": skipped by the scan: " + skipped.m_reason;
      }
      *error += "\n`tessarin-cli list --all` shows the attached devices and what was skipped";
      return nullptr;
    }
  }
  // A failed open is not reported here: the first command on the device
  // fails and says so, as in the window.
  m_hid->Open(target);
  return target;
}

std::string DeviceSession::NoDeviceMessage() const {
  std::string message;
  if (m_sim) {
    // A planned unit that vanished at once leaves no device, yet one was given.
    message = !m_simDevicesGiven
                  ? "no device found: the --simulate SPEC has no device item; add one, such as "
                    "\"default\" or vid=0495,pid=8041 (dir= and none give no device)"
                  : "no device found: the --simulate SPEC gives no usable device";
  } else {
    message = "no device found: " + NoDeviceHint();
  }
  for (const auto& skipped : m_hid->Skipped()) {
    message += "\n  skipped " + skipped.m_info.m_path + ": " + skipped.m_reason;
  }
  return message;
}

bool DeviceSession::Finish(std::string* error, int* exitCode) {
  if (m_finished) return true;
  m_finished = true;
  if (m_hid) m_hid->Clear();
  // A simulated EEPROM kept in a file needs no saving: every write is in it at once.
  bool ok = true;
  std::lock_guard<std::mutex> lock(m_traceGuard);
  if (m_traceFile.is_open()) {
    m_traceFile.close();
    if (m_traceFile.fail() && !m_traceError) m_traceError = std::strerror(errno);
  }
  if (m_traceError && ok) {
    *error = "--trace: writing " + m_tracePath + " failed: " + *m_traceError +
             "; the trace is incomplete";
    *exitCode = EXIT_BAD_INPUT;
    ok = false;
  }
  return ok;
}

void DeviceSession::WriteTrace(const TraceEvent& event) {
  std::lock_guard<std::mutex> lock(m_traceGuard);
  if (!m_traceFile.is_open() || m_traceError) return;
  // The first failure is kept, with its reason, and ends the trace.
  if (!(m_traceFile << FormatTraceLine(event) << '\n')) m_traceError = std::strerror(errno);
}

}  // namespace tessarin
