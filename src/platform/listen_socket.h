// A TCP socket about to listen for the station's board, set up the same way
// on every system.
#pragma once

#include <cstdint>

namespace tessarin {

/// Sets up `socket` (the system's socket handle, not yet bound): binding it
/// fails while another socket listens on the same port (no two boards share
/// one), yet a port whose earlier connections are only winding down may be
/// taken again; and the system buffers at most about `sendBuffer` bytes of
/// each connection's sends (the connections it accepts inherit it). False
/// when the system refused.
bool PrepareListeningSocket(std::uintptr_t socket, int sendBuffer);

}  // namespace tessarin
