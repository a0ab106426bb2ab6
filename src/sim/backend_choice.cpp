#include "sim/backend_choice.h"

#include "sim/sim_backend.h"
#include "sim/sim_spec.h"

namespace tessarin {

ChosenBackend ChooseHidBackend(const std::optional<std::string>& simulateSpec) {
  ChosenBackend chosen;
  if (!simulateSpec) {
    chosen.m_backend = CreatePlatformHidBackend(&chosen.m_error);
    if (!chosen.m_backend) chosen.m_failure = BackendFailure::kNoPlatform;
    return chosen;
  }
  const std::optional<SimSpec> spec = ParseSimSpec(*simulateSpec, &chosen.m_error);
  if (!spec) {
    chosen.m_failure = BackendFailure::kBadSpec;
    return chosen;
  }
  std::unique_ptr<SimBackend> sim = CreateSimBackend(*spec, &chosen.m_error);
  if (!sim) {
    chosen.m_failure = BackendFailure::kSimFailed;
    return chosen;
  }
  chosen.m_sim = sim.get();
  chosen.m_simDevicesGiven = !spec->m_devices.empty() || !spec->m_plans.empty();
  chosen.m_backend = std::move(sim);
  return chosen;
}

}  // namespace tessarin
