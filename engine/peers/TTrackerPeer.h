#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/peers/TPeerObject.h"
#include "engine/wire/TrackerAnnounce.h"
#include "engine/wire/UdpTrackerPacket.h"
#include "engine/net/QUdpSocket.h"

namespace pf {

// One announce exchange with a tracker of the task, over HTTP or the UDP
// tracker protocol: every peer the reply names goes to the pool as a new
// BitTorrent candidate, and then the object ends so that the pool releases
// it. The pool paces announces by how often it connects the tracker source;
// the tracker's own interval is not used.
class TTrackerPeer : public TPeerObject {
 public:
  // An announce without a usable reply goes out again once more seconds
  // than this have passed.
  static constexpr int64_t kRepeatAfter = 10;
  // Datagrams read per tick, so a flood of strays cannot hold the thread.
  static constexpr int kDatagramsPerTick = 8;

  explicit TTrackerPeer(PeerHost* host) : TPeerObject(host, kTracker) {}

  bool Process() override;
  bool AfterTick() override;
  // Sends the announce (and repeats it while no reply came).
  bool FillRequests() override;
  bool AttachSource(TPeerId* source) override;
  // Keeps requestTarget and lastAnnounce: a re-used object announces the
  // target it built first to the same tracker (another tracker gets its own).
  void Reset() override;
  // Exchange under way and its socket (TCP or UDP) still there.
  bool IsConnected() const override;
  // A tracker never counts as a peer with everything, or the pool would drop
  // it once the task is complete and a seeding task would stop announcing.
  bool HasEverything() override { return false; }

  QUdpSocket udpSocket;
  // Scratch copy of the last datagram; over HTTP the reply gathered so far
  // (the connection drops its buffer when the tracker closes, and a reply
  // without Content-Length ends only there).
  std::string replyText;
  int64_t lastAnnounce = 0;  // engine seconds; 0 = never
  int32_t event = TrackerAnnounce::kEventStarted;  // of the announce under way, as the task chose it
  // Built by the first HTTP announce, and again for an announce with another
  // event (with fresh figures, the same peer id).
  std::string requestTarget;
  int32_t targetEvent = TrackerAnnounce::kEventStarted;
  BtHash targetPeerId{};
  std::string targetTracker;  // the tracker address text requestTarget was built for
  std::array<uint8_t, UdpTrackerPacket::kConnectRequestSize> connectRequest{};
  // Its first 8 bytes take the connection id of the connect reply.
  std::array<uint8_t, UdpTrackerPacket::kAnnounceRequestSize> announceRequest{};

 private:
  bool OverUdp() const { return peerSource && !peerSource->overTcp; }
  bool ProcessHttp();
  bool ProcessUdp();
  void HandleDatagram();
  void AnnounceHttp(int64_t now);
  void AnnounceUdp(int64_t now);
  void SendDatagram(const uint8_t* bytes, size_t length);
  void AddCandidates(const std::vector<TrackerPeerAddress>& peers);

  uint32_t connectTransaction_ = 0;
  std::optional<uint32_t> announceTransaction_;
};

// The pool's factory for tracker objects.
TPeerObject* MakeTrackerPeer(PeerHost* host);

}  // namespace pf
