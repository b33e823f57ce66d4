#include "app/ListenPortChoice.h"

#include <cstdint>
#include <random>

#include "platform/Socket.h"

namespace pf {
namespace {

constexpr int kTries = 64;

bool CanListenOn(int port) {
  int error = 0;
  const platform::SocketHandle socket = platform::OpenTcpSocket(&error);
  if (socket == platform::kNoSocket) return false;
  const bool free = platform::BindSocket(socket, 0, static_cast<uint16_t>(port)) == 0 &&
                    platform::ListenSocket(socket, 1) == 0;
  platform::CloseSocket(socket);
  return free;
}

}  // namespace

int ChooseFreeListenPort() {
  std::random_device seed;
  std::uniform_int_distribution<int> pick(kLowestListenPort, kHighestListenPort);
  for (int i = 0; i < kTries; ++i)
    if (const int port = pick(seed); CanListenOn(port)) return port;
  return 0;
}

}  // namespace pf
