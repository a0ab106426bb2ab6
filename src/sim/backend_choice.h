// The one choice both programs make at start: the simulated devices of a
// --simulate SPEC, or the real HID backend of this system.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/hid_platform.h"

namespace tessarin {

class SimBackend;

/// Why no backend came.
enum class BackendFailure {
  kNone,
  kBadSpec,     ///< the SPEC does not parse
  kSimFailed,   ///< the simulated devices cannot start (an image or EEPROM file, dir=)
  kNoPlatform,  ///< the system's HID stack cannot be reached
};

struct ChosenBackend {
  std::unique_ptr<HidBackend> m_backend;  ///< null on failure
  SimBackend* m_sim = nullptr;            ///< m_backend, when it is simulated
  /// The SPEC names a device or plans some: when none is found, they were
  /// unusable or gone, not missing from the SPEC.
  bool m_simDevicesGiven = false;
  BackendFailure m_failure = BackendFailure::kNone;
  /// On failure, the reason: "--simulate: ..." for the first two, the
  /// platform's words for the last. Each program puts its own advice around it.
  std::string m_error;
};

/// The simulated devices of `simulateSpec` when it is given, the real backend otherwise.
ChosenBackend ChooseHidBackend(const std::optional<std::string>& simulateSpec);

}  // namespace tessarin
