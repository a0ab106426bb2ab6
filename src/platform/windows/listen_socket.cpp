#include "platform/listen_socket.h"

#include <winsock2.h>

namespace tessarin {

bool PrepareListeningSocket(std::uintptr_t socket, int sendBuffer) {
  const SOCKET s = static_cast<SOCKET>(socket);
  // Windows lets a socket with SO_REUSEADDR take over a port another
  // listens on; exclusive use keeps the port the board's.
  const BOOL yes = TRUE;
  return setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                    sizeof yes) == 0 &&
         setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
                    sizeof sendBuffer) == 0;
}

}  // namespace tessarin
