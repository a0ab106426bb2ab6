#include "cli/device_session.h"

#include "cli/exit_codes.h"
#include "platform/trace_backend.h"
#include "sim/sim_backend.h"
#include "sim/sim_spec.h"

namespace tessarin {

std::unique_ptr<DeviceSession> DeviceSession::Create(const GlobalOptions& options,
                                                     std::string* error, int* exitCode) {
  std::unique_ptr<DeviceSession> session(new DeviceSession);
  if (!options.simulate.empty()) {
    std::optional<SimSpec> spec = ParseSimSpec(options.simulate, error);
    if (!spec) {
      *exitCode = EXIT_BAD_INPUT;
      return nullptr;
    }
    std::unique_ptr<SimBackend> sim = CreateSimBackend(*spec, error);
    if (!sim) {
      *error = "--simulate: " + *error;
      *exitCode = EXIT_BAD_INPUT;
      return nullptr;
    }
    session->m_sim = sim.get();
    session->m_backend = std::move(sim);
  } else {
    std::string reason;
    session->m_backend = CreatePlatformHidBackend(&reason);
    if (!session->m_backend) {
      *error = "cannot reach the HID devices: " + reason;
      *exitCode = EXIT_NO_DEVICE;
      return nullptr;
    }
  }

  HidBackend* backend = session->m_backend.get();
  if (!options.trace.empty()) {
    session->m_traceFile.open(options.trace, std::ios::out | std::ios::trunc);
    if (!session->m_traceFile) {
      *error = "--trace: cannot create " + options.trace + ": check the directory and its rights";
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
  Finish(&ignored);
}

HidDeviceManager::Entry DeviceSession::OpenTarget(const std::string& path, std::string* error) {
  const auto& entries = m_hid->Entries();
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
        if (skipped.info.path == path) *error += ": skipped by the scan: " + skipped.reason;
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
    message = "no device found: the --simulate SPEC gives no usable device";
  } else {
    message = "no device found: " + NoDeviceHint();
  }
  for (const auto& skipped : m_hid->Skipped()) {
    message += "\n  skipped " + skipped.info.path + ": " + skipped.reason;
  }
  return message;
}

bool DeviceSession::Finish(std::string* error) {
  if (m_finished) return true;
  m_finished = true;
  if (m_hid) m_hid->Clear();
  bool ok = true;
  if (m_sim) {
    for (const auto& [path, device] : m_sim->Devices()) {
      std::string reason;
      if (!device->Flush(&reason)) {
        if (ok) *error = "cannot save the simulated EEPROM of " + path + ": " + reason;
        ok = false;
      }
    }
  }
  std::lock_guard<std::mutex> lock(m_traceGuard);
  if (m_traceFile.is_open()) {
    m_traceFile.close();
    if (m_traceFile.fail() && ok) {
      *error = "--trace: writing the trace file failed";
      ok = false;
    }
  }
  return ok;
}

void DeviceSession::WriteTrace(const TraceEvent& event) {
  std::lock_guard<std::mutex> lock(m_traceGuard);
  if (m_traceFile.is_open()) m_traceFile << FormatFullTraceLine(event) << '\n';
}

std::string FormatFullTraceLine(const TraceEvent& event) {
  static const char digits[] = "0123456789abcdef";
  std::string line = FrameTransferName(event.transfer);
  line += event.ok ? " ok " : " failed ";
  line += event.path;
  for (std::uint8_t byte : event.bytes) {
    line += ' ';
    line += digits[byte >> 4];
    line += digits[byte & 0xF];
  }
  return line;
}

}  // namespace tessarin
