#pragma once
#include <cstdint>

#include "engine/core/TBaseWork.h"

namespace pf {

// Second layer of the work object: the peer pool and its connection limits.
class TWorkWithPeers : public TBaseWork {
 public:
  // Stores the most simultaneous server (HTTP/FTP) and BitTorrent peer
  // connections; under the task lock.
  void SetConnectionLimits(int serverConnections, int peerConnections);
  int ServerConnectionLimit() const { return serverConnectionLimit; }
  int PeerConnectionLimit() const { return peerConnectionLimit; }

  // Forgets which sources are in use, so that the next run takes them again.
  void ClearUseMarks();
  // Sources still waiting to be connected.
  virtual int CandidateCount() const { return 0; }

 protected:
  // Closes every connection and empties the candidate list.
  void ResetPool();

  int serverConnectionLimit = 0;
  int peerConnectionLimit = 0;
  uint8_t connectionLimitReached = 0;
};

}  // namespace pf
