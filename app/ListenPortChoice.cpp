#include "app/ListenPortChoice.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "platform/ListeningPorts.h"

namespace pf {

bool IsExcludedListenPort(int port) {
  return std::find(kExcludedListenPorts.begin(), kExcludedListenPorts.end(), port) != kExcludedListenPorts.end();
}

int FirstListenPortCandidate(uint32_t randomValue) {
  int port = static_cast<int>(randomValue % 10000) + kLowestListenPort;
  do ++port;
  while (IsExcludedListenPort(port));
  return port;
}

int NextListenPortCandidate(int port) {
  do {
    ++port;
    if (port > kHighestListenPort || port < kLowestListenPort) port = kLowestListenPort;
  } while (IsExcludedListenPort(port));
  return port;
}

int SelectListenPort(uint32_t randomValue, const std::function<bool(int port)>& inUse) {
  const int first = FirstListenPortCandidate(randomValue);
  int port = first;
  do {
    if (!inUse(port)) return port;
    port = NextListenPortCandidate(port);
  } while (port != first);
  return 0;
}

int ChooseFreeListenPort() {
  std::minstd_rand random(static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  return SelectListenPort(static_cast<uint32_t>(random()), [](int port) {
    return platform::TcpPortInUse(static_cast<uint16_t>(port));
  });
}

}  // namespace pf
