#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace tessarin {

bool LowerThisThreadsPriority() {
  // On Linux a thread's nice value is its own: the thread id names it.
  // Nice 10 still gets a share when the machine is busy, so a client is
  // never starved into a timeout.
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10) == 0;
}

}  // namespace tessarin
