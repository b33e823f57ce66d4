#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/content/TPeerId.h"
#include "engine/core/TBaseWork.h"
#include "engine/peers/PeerHost.h"
#include "engine/peers/TPeerObject.h"

namespace pf {

// Second layer of the work object: the peer pool. Sources enter it from the
// task's source list (and later from trackers and the LAN) as candidates,
// kept in order; connections are opened for them within the task's limits
// and driven every tick.
class TWorkWithPeers : public TBaseWork {
 public:
  static constexpr int kDefaultServerConnections = 49;
  enum UseMark : uint8_t { kNew = 0, kOwn = 1, kTaken = 16, kOwnTaken = 17 };

  // Stores the most simultaneous server (HTTP/FTP) and BitTorrent peer
  // connections; under the task lock.
  void SetConnectionLimits(int serverConnections, int peerConnections);
  int ServerConnectionLimit() const { return serverConnectionLimit.load(); }
  int PeerConnectionLimit() const { return peerConnectionLimit.load(); }

  // Forgets which sources are in use, so that the next run takes them again.
  void ClearUseMarks();
  // Sources still waiting to be connected.
  virtual int CandidateCount() const { return static_cast<int>(candidates.size()); }

  // Takes new source-list entries into the pool as candidates.
  void FeedSources();
  bool AddCandidate(RefPtr<TPeerId> source);
  // Holds a source back for `seconds` connect passes (flag 1) or drops it (flag 0).
  void RetrySource(TPeerId* source, int flag, int seconds);
  // Opens server connections while the limit allows (once a second).
  void ConnectServers();
  // Mirror upkeep, at most every 31 seconds: makes room among the server
  // connections and takes mirrors from the task's mirror lists as candidates.
  void KeepMirrors();
  // One step of every connection; dead ones are released.
  void DriveConnections();
  // Per-connection speeds over the last window of `seconds`.
  void UpdateSpeeds(int seconds);
  const std::vector<RefPtr<TPeerObject>>& Connections() const { return connections; }

 protected:
  // The task side the peers talk to.
  virtual PeerHost* Host() = 0;
  // Closes every connection and empties the candidate list.
  void ResetPool();
  void ReleaseConnection(TPeerObject& connection);
  // The task's own source fetched its torrent file: it becomes the task's
  // metainfo when the task has none.
  void TakeTorrentFrom(TPeerId& source);
  // Makes a source whose connection failed wait longer before the next one.
  void BackOff(TPeerId* source, int extra);
  void SortCandidates();
  int OpenServerConnections() const;
  // Closes the `count` slowest server connections; their sources drop to a
  // lower order group.
  void DropSlowestServers(int count);
  // Up to `count` mirrors drawn at random from the mirror lists.
  void TakeMirrors(int count);

  // Set by callers, read by the work thread.
  std::atomic<int> serverConnectionLimit{kDefaultServerConnections};
  std::atomic<int> peerConnectionLimit{0};
  std::atomic<uint8_t> connectionLimitReached{0};
  std::vector<uint8_t> useMarks;  // one per source-list entry
  std::vector<RefPtr<TPeerId>> candidates;
  std::vector<RefPtr<TPeerObject>> connections;
  std::vector<int64_t> windowReceived;  // per connection, since the last speed window
  int64_t windowStart = 0;               // wall seconds the window began
  int64_t lastMirrorPass = 0;            // wall seconds; 0 = none yet
};

}  // namespace pf
