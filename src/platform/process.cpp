// The answers of process.h that every system gives the same way from its
// look at a process.
#include "platform/process.h"

#include "platform/process_look.h"

namespace tessarin {

bool ProcessRunning(std::int64_t pid) { return LookAtProcess(pid).m_running; }

std::optional<std::int64_t> ProcessStartTime(std::int64_t pid) {
  return LookAtProcess(pid).m_startTime;
}

bool ProcessAlive(std::int64_t pid, std::int64_t startTime) {
  const ProcessLook look = LookAtProcess(pid);
  return look.m_running && (!look.m_startTime || *look.m_startTime == startTime);
}

}  // namespace tessarin
