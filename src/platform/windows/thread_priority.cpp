#include "platform/thread_priority.h"

#include <windows.h>

namespace tessarin {

bool LowerThisThreadsPriority() {
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) != 0;
}

}  // namespace tessarin
