#include "platform/listen_socket.h"

#include <sys/socket.h>

namespace tessarin {

bool PrepareListeningSocket(std::uintptr_t socket, int sendBuffer) {
  const int fd = static_cast<int>(socket);
  // SO_REUSEADDR, not SO_REUSEPORT: the latter lets a second listener share
  // the port and take part of its connections.
  const int yes = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) == 0;
}

}  // namespace tessarin
