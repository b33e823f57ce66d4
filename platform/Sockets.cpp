#include "platform/Sockets.h"

#include <csignal>

namespace pf::platform {

bool SocketsStartup() {
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

void SocketsCleanup() {}

}  // namespace pf::platform
