#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/net/CIPFilter.h"
#include "engine/net/TPeerId.h"
#include "engine/peers/PeerHost.h"
#include "engine/peers/TPeerObject.h"
#include "engine/task/CandidateList.h"
#include "engine/task/MirrorPolicy.h"
#include "engine/task/SourceNoticeBook.h"
#include "engine/task/TBaseWork.h"
#include "engine/task/TrackerEvents.h"
#include "engine/wire/BtHandshake.h"

namespace pf {

// Second layer of the work object: the peer pool. Sources enter it from the
// task's source list (and later from trackers and the LAN) as candidates
// (CandidateList), kept in order; connections are opened for them within
// the task's limits and driven every tick; the mirror policy (MirrorPolicy)
// decides when servers make room and mirrors come in.
//
// Locking: the candidates, connections, idle peers and counters are the work
// thread's alone; the connection limits are atomics that callers set.
class TWorkWithPeers : public TBaseWork, private MirrorPolicy::Pool {
 public:
  static constexpr int kDefaultServerConnections = 49;
  // Connection budget of a task before its first second of accounting.
  static constexpr int kDefaultConnectionBudget = 52;
  enum UseMark : uint8_t { kNew = 0, kOwn = 1, kTaken = 16, kOwnTaken = 17 };

  ~TWorkWithPeers() override;

  // Stores the most simultaneous server (HTTP/FTP) and BitTorrent peer
  // connections; under the task lock.
  void SetConnectionLimits(int serverConnections, int peerConnections);
  int ServerConnectionLimit() const override { return serverConnectionLimit.load(); }
  int PeerConnectionLimit() const { return peerConnectionLimit.load(); }

  // Forgets which sources are in use, so that the next run takes them again.
  void ClearUseMarks();
  // Sources still waiting to be connected.
  virtual int CandidateCount() const { return static_cast<int>(candidates.size() + candidates.ResolvingCount()); }

  // Takes new source-list entries into the pool as candidates.
  void FeedSources();
  // Adds a source unless it is ourselves (a peer at 127.0.0.1, with our peer
  // id, or at our listening address) or a duplicate (CandidateList::Add).
  bool AddCandidate(RefPtr<TPeerId> source, bool trustPeerId = false, bool keepPeerId = false);
  // How many new connection attempts may start now, so that connects in
  // progress stay bounded.
  int AttemptsAllowed() const;
  // Holds a source back for `seconds` connect passes, or drops it.
  void RetrySource(TPeerId& source, SourceRetry retry, int seconds) { candidates.Retry(source, retry, seconds); }
  // Tells the caller and the log why a source failed, once per cause.
  void NoteSource(const TPeerId& source, SourceProblem problem, const std::string& detail);
  // Once a second: tells when no mirror, or no source at all, is left.
  void WatchSourcesLeft();
  // Opens server connections while the limit allows (once a second).
  void ConnectServers();
  // Opens BitTorrent and tracker connections within the peer limit while the
  // P2P switch is on; with it off, drops the two slowest BitTorrent ones.
  // `trackersOnly`: only trackers are connected (a seeding task).
  void ConnectPeers(bool trackersOnly = false);
  // The pool's once-a-second passes after ConnectServers: peer connections
  // (or their removal) and the slow-server fallback.
  void ConnectPeersAndFallBack();

  // Candidate rules of the pool. CanConnect runs the candidate's own
  // once-per-pass check (which counts its wait down).
  bool CanConnect(TPeerId& candidate);
  // Opens connections for `candidate` up to its limit; `opened` were opened
  // earlier in this pass, which may open `budget` in all. False when none.
  bool ConnectCandidate(TPeerId& candidate, int opened, int budget, int& count);

  // A peer object for a source of `kind` (a SourceKind): an idle one of that
  // kind, else a new one from the class registered for the kind; none for
  // other kinds or kinds without a class.
  RefPtr<TPeerObject> GetPeerObject(int kind);
  using PeerFactory = TPeerObject* (*)(PeerHost* host);
  // Registers the class the pool creates for a peer kind (process-wide; the
  // engine's call interface registers HTTP, BitTorrent and tracker classes).
  static void RegisterPeerClass(int kind, PeerFactory make);
  static PeerFactory PeerClass(int kind);

  // Sorts the connections by rank, fastest first.
  void SortConnections();
  // Closes the last `n` connections of `kindMask` in rank order; with
  // `slowestOnly`, only the last of them that is not a redirected server,
  // and its source drops to a lower group.
  void DropConnections(int kindMask, int n, bool slowestOnly);
  // Closes, among the last `n` in rank order, connections of `kindMask`
  // below a fifth of the average speed (`byShare`) or without any speed.
  void DropSlowConnections(int kindMask, int n, bool byShare);
  // Closes BitTorrent connections beyond what the peer budget allows.
  void TrimPeerConnections();
  // Summed download speed of the connections of `kindMask`.
  int64_t SumPeerSpeeds(int kindMask) const;
  int CountConnections(int kindMask) const;

  // The task's info-hash in the process-wide served list; all-zero hashes
  // are not served.
  bool RegisterInfoHash(const BtHash& infoHash);
  void UnregisterInfoHash();
  static bool IsInfoHashServed(const BtHash& infoHash);
  // Every 400 ms: matches pending incoming connections to this task by the
  // info-hash their handshake names and adopts the matched ones.
  int TakeIncomingConnections();
  // Adopts a connection that named this task's info-hash as a BitTorrent
  // peer, within the peer budget; false when refused (it is closed).
  bool AcceptIncoming(std::unique_ptr<QTcpSocket> connection, bool sawPreamble);
  // Mirror upkeep (MirrorPolicy::KeepMirrors).
  void KeepMirrors();
  // One step of the connections; dead ones are released. A BitTorrent
  // connection slower than TPeerObject::kSlowSpeed is stepped only every
  // `receiveEvery` ticks of the second (`tickInSecond` counts them), so that
  // many idle peers do not keep the loop busy (unless its last step moved a
  // block); servers are always stepped.
  void DriveConnections(int tickInSecond = 0, int receiveEvery = 1);
  // The download completed in this run: the trackers that know us are told
  // "completed" at the next connect pass.
  void AnnounceCompletion();
  // The run ends: the trackers that know us are told "stopped" (after a
  // "completed" still owed), their exchanges driven here for at most
  // kStopAnnounceMs (less once the engine's exit has begun, see
  // EndStopAnnouncesBy); every other connection is closed first.
  void AnnounceStop();
  static constexpr uint32_t kStopAnnounceMs = 1500;
  // The engine is stopping all its tasks one after another: their "stopped"
  // announces share one window that ends at `tickMs` (TickMs); 0 lifts it.
  static void EndStopAnnouncesBy(uint32_t tickMs);
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
  void BackOff(TPeerId* source, TPeerObject* connection, int extra);
  // Parses and resolves candidates that are not yet; those that fail leave.
  void ResolveCandidates() override;
  // Closes one connection; its source drops towards the slow group.
  void CloseAsSlow(TPeerObject& connection);
  // Resets a released peer object and keeps it for re-use.
  void ParkIdle(TPeerObject& peer);
  // The candidate for an address text: the pool's own when it has one,
  // else a new one (group of the task's own sources); null when it does not
  // parse.
  TPeerId* TakeSourceText(const std::string& address, const std::string& hostName);
  // A parsed source of the task's own group, sending `hostName` (unless
  // empty or "null") in its requests; null (and the task's state code set
  // for a name that did not resolve) when it does not parse.
  RefPtr<TPeerId> MakeSource(const std::string& address, const std::string& hostName);
  // Opens server connections for `candidate` at once, outside the passes.
  bool ConnectDirectly(TPeerId& candidate);
  int OpenServerConnections() const override;
  // What the mirror policy asks of the pool.
  int ServerCandidateCount() const override;
  int64_t ServerSpeed() const override;
  void DropSlowServers(int count) override;
  void DropSlowestServers(int count) override;
  bool TakeServer(const std::string& address, const std::string& hostName, bool connectNow) override;
  // Our peer id, once the BitTorrent side has made it: candidates with it
  // are ourselves.
  void SetOwnPeerId(const BtHash& id) { ownPeerId = id; }
  bool IsOwnPeerId(const uint8_t* id) const;

  // Set by callers, read by the work thread.
  std::atomic<int> serverConnectionLimit{kDefaultServerConnections};
  std::atomic<int> peerConnectionLimit{0};
  std::atomic<uint8_t> connectionLimitReached{0};

  // The work thread's alone.
  std::vector<uint8_t> useMarks;  // one per source-list entry
  CandidateList candidates;
  MirrorPolicy mirrorPolicy{*this, mirrors};
  std::vector<RefPtr<TPeerObject>> connections;
  std::vector<RefPtr<TPeerObject>> idlePeers;  // reset objects kept for re-use
  int connectionBudget = kDefaultConnectionBudget;  // set by the accounting each second
  int64_t windowStart = 0;                 // wall seconds the window began
  std::optional<BtHash> ownPeerId;
  int connectionSerial = 0;                // numbers the task's connections
  BtHash servedHash{};
  bool hashServed = false;
  SourceNoticeBook noticeBook;
  bool peersFound = false;  // BitTorrent candidates came since the last peer pass
  CIPFilter ipFilter;  // the process-wide filter as it was when the piece map was built
  TrackerEvents trackerEvents;
};

}  // namespace pf
