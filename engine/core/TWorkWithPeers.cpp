#include "engine/core/TWorkWithPeers.h"

#include "engine/core/ScopedLock.h"

namespace pf {

void TWorkWithPeers::SetConnectionLimits(int serverConnections, int peerConnections) {
  ScopedLock lock(&mutex);
  serverConnectionLimit = serverConnections;
  peerConnectionLimit = peerConnections;
  connectionLimitReached = 0;
}

void TWorkWithPeers::ClearUseMarks() {
  // Sources carry no use marks until the peer pool takes them.
}

void TWorkWithPeers::ResetPool() {
  connectionLimitReached = 0;
}

}  // namespace pf
