// Threads that serve others and must never hold up the program's own work.
#pragma once

namespace tessarin {

/// Lowers the calling thread's priority below the program's other threads
/// (the burns), so that it runs when they do not need the processor. False
/// when the system refused (the thread then runs as before).
bool LowerThisThreadsPriority();

}  // namespace tessarin
