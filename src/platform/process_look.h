// What one system's process layer tells the shared answers of process.h.
#pragma once

#include <cstdint>
#include <optional>

namespace tessarin {

/// What is known of one process id at one moment.
struct ProcessLook {
  bool m_running = false;                   ///< runs (not ended, not awaiting its reaping)
  std::optional<std::int64_t> m_startTime;  ///< while it runs, where the system says
};

/// Each system's look at `pid` (linux/process.cpp, windows/process.cpp); not
/// running for ids of 0 or less or beyond the system's range.
ProcessLook LookAtProcess(std::int64_t pid);

}  // namespace tessarin
