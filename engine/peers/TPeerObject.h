#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "engine/content/TPieceSource.h"
#include "engine/schedule/Segment.h"
#include "engine/peers/PeerHost.h"
#include "engine/net/QTcpSocket.h"
#include "engine/content/BlockSize.h"

namespace pf {

// The protocol steps every kind of peer fills in.
class TPieces;

class TVirtualPeer {
 public:
  virtual ~TVirtualPeer() = default;
  virtual bool Process() = 0;
  virtual bool AfterTick() = 0;
  virtual bool FillRequests() = 0;
  virtual bool Serve() = 0;
  virtual void Reset() = 0;
};

// One live source of a task: its address, its connection, the block
// requests outstanding to it and the run of pieces it works through. Only
// the task's work thread touches it.
class TPeerObject : public TVirtualPeer, public TPieceSource, public SegmentHolder {
 public:
  enum LinkState { kUnlinked = 0, kConnected = 1, kReady = 2 };
  // Values of `phase`, the step of the peer's own protocol.
  static constexpr int kPhaseIdle = 0;
  static constexpr int kPhaseExchange = 1;       // under way (BitTorrent: neither side chokes)
  static constexpr int kPhaseChoked = 2;         // BitTorrent: the peer chokes us or we choke it
  static constexpr int kPhaseAwaitingBlock = 4;  // a matched block returns it to kPhaseExchange
  static constexpr int kPhaseStalled = 5;
  static constexpr int kPhaseNothingLeft = 6;
  // Bytes a second below which a connection counts as slow: the tick steps
  // it less often and a BitTorrent peer flushes its backlog every other tick.
  static constexpr int kSlowSpeed = 28672;
  // A server's stream is read in steps of this size, up to 4 MB per tick, so
  // one connection is not capped by the tick rate and its buffer stays small.
  static constexpr int kStreamRead = 262144;
  static constexpr int kReadsPerTick = 16;

  struct Stats {
    bool attached = false;
    int64_t activityTime = 0;   // attach, and every accepted block
    int64_t blocksAccepted = 0; // blocks this connection delivered
    bool outputPending = false;
    int idleTicks = 0;
    int currentPiece = -1;
  };
  struct TickCounts {
    int64_t sent = 0;
    int64_t received = 0;
    int64_t totalReceived = 0;
    int64_t totalSent = 0;
    int receiveRate = 0;        // bytes per second, from the task's window
    int sendRate = 0;           // bytes per second, from the task's window
    int64_t windowReceived = 0; // since the task's window began
    int64_t windowSent = 0;
  };

  TPeerObject(PeerHost* host, int peerKind) : kind(peerKind), work(host) {}
  ~TPeerObject() override;

  bool Process() override = 0;
  bool AfterTick() override { return true; }
  bool FillRequests() override;
  bool Serve() override { return true; }
  void Reset() override;

  virtual bool DownloadTick();
  // The upload step: BitTorrent peers serve what was asked of them; other
  // kinds have nothing to send.
  virtual bool UploadTick();
  virtual bool AttachSource(TPeerId* source);
  // Takes a connection that a peer opened to us and whose first bytes named
  // this task: the peer protocol takes it from there (the BitTorrent peer
  // answers the handshake; `sawPreamble` says an HTTP-looking block came
  // first and was stripped). The base takes the connection as it is.
  virtual bool AttachConnection(std::unique_ptr<QTcpSocket> accepted, bool sawPreamble);
  virtual bool IsDone() { return false; }
  virtual bool IsStalled() { return false; }
  virtual bool HasEverything() { return true; }
  virtual bool IsUnwanted() { return false; }
  // Whether the pool may close this connection when it trims peers over its
  // budget; `nearlyDone`: fewer than 7 pieces are missing.
  virtual bool MayBeDropped(bool /*nearlyDone*/) { return true; }
  virtual void ReleaseSegment();
  // Queues a batch of have messages (BitTorrent peers; others ignore it).
  virtual void SendHaves(const std::string& /*batch*/) {}
  virtual int NextPiece();
  virtual bool IsConnected() const { return linkState != kUnlinked && connection && connection->IsOpen(); }
  // Bytes received so far, for the per-tick counts: the connection's, or for
  // a protocol that carries its content elsewhere, that content's.
  virtual uint64_t BytesReceivedSoFar() const { return connection ? connection->bytesReceived : 0; }
  // A second socket whose arriving data should wake the task's loop (FTP's
  // data connection); null when there is none.
  virtual const QTcpSocket* DataSocket() const { return nullptr; }
  bool IsDead(bool skipUnwanted = false);
  // A block of content arrived; false when it matched no request or the
  // piece refused it.
  bool OnBlock(int64_t block, int length, const uint8_t* bytes);
  void MarkNothingLeft();

  // What a piece learns of the source that supplied it.
  int SourceKind() const override { return kind; }
  std::string AddressText() const override { return peerSource ? peerSource->ShownUrl() : std::string(); }
  uint32_t Ipv4() const override;
  uint16_t Port() const override { return peerSource ? static_cast<uint16_t>(peerSource->port) : 0; }
  void AddScore(int amount) override {
    if (peerSource) peerSource->score += amount;
  }
  void AddBadPiece() override {
    if (peerSource) ++peerSource->badPieces;
  }
  void ClearBadPieces() override {
    if (peerSource) peerSource->badPieces = 0;
  }
  void GiveUpSegment() override { ReleaseSegment(); }
  // Dropped at its next step, as if the block had been refused at once.
  void OnBadPiece() override {
    ++failures;
    sentBadPiece = 1;
  }

  // The order in which the pool ranks its connections, fastest first.
  // `seeding`: the task holds everything; `now` in wall seconds.
  static bool RanksBefore(const TPeerObject& a, const TPeerObject& b, bool seeding, int64_t now);

  int linkState = kUnlinked;
  int phase = 0;
  int kind;
  std::deque<BlockRequest> requests;
  Stats stats;
  TickCounts tick;
  int failures = 0;
  uint8_t sentBadPiece = 0;
  RefPtr<TPeerId> peerSource;
  std::unique_ptr<QTcpSocket> connection;
  PeerHost* work;
  int serial = 0;               // the task's connection number
  int64_t attachedAt = 0;       // wall seconds
  uint8_t acceptedIncoming = 0; // the peer connected to us

 protected:
  // Whether the piece still lacks bytes that someone must fetch.
  static bool NeedsBytes(TPieces& map, int piece);
  // Queues requests for every block of `piece` not yet held or requested
  // (server peers always take the whole piece), from the content offset
  // `from` on.
  void QueuePiece(int piece, int64_t from = 0);
  size_t PipelineDepth() const { return 2 + 2 * static_cast<size_t>(tick.receiveRate) / kBlockSize; }
};

}  // namespace pf
