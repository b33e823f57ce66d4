#pragma once
// What a peer object needs of the task that owns it: the piece map and the
// scheduling state, the byte counters, and the pool's calls for sources.
#include <cstdint>
#include <deque>
#include <span>
#include <string>

#include "engine/base/Bitfield.h"
#include "engine/base/TRefObject.h"
#include "engine/net/TPeerId.h"
#include "engine/peers/SourceProblem.h"
#include "engine/schedule/BlockRequest.h"
#include "engine/wire/BtHandshake.h"
#include "engine/wire/TrackerAnnounce.h"

namespace pf {

class TPieces;
class SegmentList;
class TPeerObject;

// What a tracker announce tells about the task.
struct AnnounceFigures {
  bool hasMetadata = false;  // the torrent is known: nothing is announced before
  BtHash infoHash{};
  BtHash peerId{};           // the task's peer id (UDP announces)
  std::string announceUrl;   // the torrent's first tracker, for fresh peer ids
  uint64_t taskAddress = 0;  // the task object's address, for fresh peer ids
  uint32_t listenIp = 0;     // network order; the listener's address
  uint16_t listenPort = 0;
  int64_t uploaded = 0;      // the task's bytes sent in the current second
  int64_t downloaded = 0;    // the task's bytes received in the current second
  int64_t left = 0;          // bytes of the content not yet held
};

// What the pool does with a source that should wait or go.
enum class SourceRetry { kDrop, kHoldBack };

class PeerHost {
 public:
  virtual TPieces* HostPieces() = 0;
  virtual SegmentList& HostSegments() = 0;
  // Blocks split off a piece but not yet given to a peer.
  virtual std::deque<BlockRequest>& SharedRequests() = 0;
  virtual bool InEndPhase() = 0;
  virtual bool HostComplete() = 0;
  // Payload accepted from a source of the given kind.
  virtual void OnPayload(int kind, int64_t bytes) = 0;
  virtual void OnWasted(int64_t bytes) = 0;
  // Holds the source back for `seconds` passes, or drops it.
  virtual void Retry(TPeerId& source, SourceRetry retry, int seconds) = 0;
  // Tells the user, once per cause and source, why a source was given up
  // on, held back or is read another way.
  virtual void ReportSource(const TPeerId& /*source*/, SourceProblem /*problem*/, const std::string& /*detail*/) {}
  // A source found on the way (a redirect target).
  virtual void AddFoundSource(RefPtr<TPeerId> source) = 0;
  virtual void SetStateCode(int code) = 0;
  virtual void SetHttpStarted() = 0;
  // Bytes the task may still receive in this second (its download limit).
  virtual int64_t ReceiveAllowance() = 0;

  // The BitTorrent side of the task. The defaults are those of a task that
  // has no torrent yet.
  virtual AnnounceFigures TrackerFigures() { return {}; }
  // The event (TrackerAnnounce) the next announce to `tracker` carries, and
  // the news that `tracker` answered one that carried `event`.
  virtual int32_t TrackerEvent(const TPeerId& /*tracker*/) { return TrackerAnnounce::kEventStarted; }
  virtual void TrackerAnswered(TPeerId& /*tracker*/, int32_t /*event*/) {}
  // Our 68-byte handshake; null until the task knows its torrent.
  virtual const BtHandshakeBytes* OwnHandshake() { return nullptr; }
  // Whether a peer that has just shaken hands on `self` may stay: not
  // ourselves, not connected already through another connection.
  virtual bool AcceptBtPeer(const TPeerObject& /*self*/, const BtHash& /*peerId*/, uint32_t /*ip*/) { return false; }
  // A handshake with this address succeeded (network order).
  virtual void NoteHandshake(uint32_t /*ip*/) {}
  // The pieces the task holds, BitTorrent bit order.
  virtual BitfieldView HeldBits() { return {}; }
  // Block scheduling shared by the BitTorrent peers (see TWorkWithPieces).
  virtual bool TakePooled(std::deque<BlockRequest>& /*queue*/, BitfieldView /*peerHas*/, int /*count*/,
                          BitfieldView /*peerLacks*/) { return false; }
  virtual bool Engage(int /*piece*/, bool /*add*/, bool /*all*/) { return true; }
  virtual bool RefreshEndGame() { return false; }
  virtual int PieceHint() { return 0; }
  // Bytes the task may still send in this second (its upload limit).
  virtual int64_t SendAllowance() { return INT64_MAX; }
  // Whether peer connections may go over the UDP connection layer.
  virtual bool UdpConnectionsAllowed() { return false; }

 protected:
  ~PeerHost() = default;
};

}  // namespace pf
