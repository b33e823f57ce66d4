#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/wire/BtHandshake.h"
#include "engine/wire/BtMessage.h"
#include "engine/wire/BtPreamble.h"
#include "engine/peers/TPeerObject.h"

namespace pf {

// One BitTorrent peer of a task, outgoing or incoming: the handshake (behind
// an HTTP-looking preamble when one is used), the message exchange, block
// requests pipelined by the peer's rate, and serving the blocks it asks for.
// Every peer is unchoked at once; interest is declared once, after the
// handshake.
class TBTPeer : public TPeerObject {
 public:
  // Requests kept in flight to one peer at most: what peers commonly accept
  // queued (a peer may drop requests beyond its queue) and 4 MB in flight.
  static constexpr int kMaxPipeline = 250;
  // Requests a peer may have queued with us; more are dropped unanswered.
  static constexpr size_t kMaxIncoming = 2048;
  // Bytes of blocks nobody asked for that a peer may send before it goes.
  static constexpr int64_t kMaxUnaskedBytes = 8 << 20;
  // What one tick reads from a peer at most (within the download budget).
  static constexpr int kMaxReadPerTick = 4 << 20;

  struct Flags {
    uint8_t peerUnchoked = 0;  // the peer does not choke us
    uint8_t weChoke = 0;       // we choke the peer
    uint8_t hold = 0;          // no requests for now
  };
  // A block the peer asked us for.
  struct Incoming {
    uint32_t index;
    uint32_t begin;
    uint32_t length;
  };

  explicit TBTPeer(PeerHost* host) : TPeerObject(host, kBtNode) {}

  bool Process() override;
  bool AfterTick() override;
  bool FillRequests() override;
  bool Serve() override;
  void Reset() override;
  bool AttachSource(TPeerId* source) override;
  bool AttachConnection(std::unique_ptr<QTcpSocket> accepted, bool sawPreamble) override;
  bool IsDone() override;
  bool HasEverything() override;
  bool IsUnwanted() override;
  bool MayBeDropped(bool nearlyDone) override;
  int NextPiece() override;

  // Sends more requests while the pipeline is short.
  bool ExtraStep();
  // Queues our handshake (behind a preamble when one is due).
  bool SendHandshake();
  // Drops requests for pieces now held and re-offers old ones near the
  // task's progress mark to other peers.
  void RefreshRequests();
  // Has held every piece for more than 15 seconds.
  bool IsIdleTooLong();
  // KB/s the peer gained pieces at since its bitfield (0 with few haves).
  int PeerRate();
  // Queues a batch of have messages.
  void SendHaves(const std::string& batch) override;

  uint32_t sentCount = 0;
  uint32_t chokeStrikes = 0;
  uint8_t receivingPiece = 0;
  uint8_t hasSomething = 0;
  BtHandshakeBytes handshakeOut{};
  Bitfield peerHas;
  Bitfield peerLacks;  // pieces the peer said it cannot serve
  Flags flags;
  uint8_t nothingWanted = 0;
  uint32_t haveCount = 0;
  uint32_t piecesCount = 0;
  uint32_t piecesAtBitfield = 0;
  int32_t lastHave = -1;
  int64_t chokedSince = 0;
  int64_t completeSince = 0;
  int64_t nothingSince = 0;
  std::deque<Incoming> incoming;
  uint8_t sawPreamble = 0;  // the peer's stream began with an HTTP-looking block
  int errorCount = 0;       // malformed messages the peer sent

 private:
  enum class Parsed { kOk, kFail };
  bool ReadHandshake();
  bool AcceptHandshake(const BtHash& peerId);
  Parsed ParseMessages();
  bool HandleMessage(const BtMessage& message);
  bool HandleBlock(const BtMessage& message);
  void OnChokeChanged(bool wasUnchoked);
  // Sends up to `limit` requests in all (sent ones included).
  void SendRequests(uint32_t limit);
  // Gives the queued requests (those of `piece` only, when not -1) back to
  // the task's shared pool, with cancels for the sent ones on `cancelSent`.
  void HandBackRequests(bool cancelSent, int piece = -1);
  // Queues the missing blocks of `piece` for this peer, the surplus beyond
  // `keep` to the task's shared pool; false when none was missing.
  bool QueueBlocks(int piece, size_t keep);
  void ForgetEngaged();
  bool PieceRequested(int piece) const;
  bool Has(int piece) const;
  bool Lacks(int piece) const;
  uint32_t PieceCount() const;
  int64_t ReceiveRate() const { return tick.receiveRate; }
  uint32_t SendTarget() const;
  bool SendBytes(const std::string& bytes);
  void FlushBatch();
  bool Ready() const { return linkState == kReady; }

  BtPreambleReader preamble_;
  uint8_t preambleDone_ = 0;
  int64_t connectedAt_ = 0;     // wall seconds the connection was made or taken
  int64_t lastRefresh_ = 0;     // wall seconds
  int64_t lastNothingAsk_ = 0;  // wall seconds
  int arrivingBytes_ = 0;       // of a piece message still arriving
  int64_t unaskedBytes_ = 0;
  uint32_t flushSkip_ = 0;
  BtRequestBatch batch_;
  std::set<int> engaged_;  // pieces this peer was engaged on
  // Bytes of the current and the last wall second: a rate that follows a
  // new connection at once, where the task's window lags by seconds.
  int64_t rateSecond_ = 0;
  int64_t thisSecondReceived_ = 0;
  int64_t lastSecondReceived_ = 0;
  int64_t thisSecondSent_ = 0;
  int64_t lastSecondSent_ = 0;
};

// The pool's factory for BitTorrent peers.
TPeerObject* MakeBtPeer(PeerHost* host);

}  // namespace pf
