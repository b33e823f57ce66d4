#include "engine/peers/TTrackerPeer.h"

#include <cstring>
#include <span>

#include "engine/base/EngineClock.h"
#include "engine/wire/BtHandshake.h"
#include "platform/ThreadIdentity.h"

namespace pf {
namespace {

bool UsablePeer(const TrackerPeerAddress& peer) {
  return peer.ip != 0 && peer.ip != 0xFFFFFFFFu && peer.port != 0;
}

}  // namespace

TPeerObject* MakeTrackerPeer(PeerHost* host) { return new TTrackerPeer(host); }

bool TTrackerPeer::AttachSource(TPeerId* source) {
  if (!TPeerObject::AttachSource(source)) return false;
  if (source->url != targetTracker) {
    // The target names one tracker's path: another tracker must not get it.
    requestTarget.clear();
    lastAnnounce = 0;
  }
  replyText.clear();
  announceTransaction_.reset();
  const auto port = static_cast<uint16_t>(source->port);
  if (source->overTcp) {
    // A failed connect leaves the object unlinked: the pool drops it.
    if (connection->Connect(source->ip, port, false)) {
      linkState = kReady;
      phase = kPhaseExchange;
    }
    return true;
  }
  // A fresh socket per exchange, so that nothing left from an earlier one
  // is read as its answer.
  udpSocket.Close();
  udpSocket.SetBlocking(false);
  connectTransaction_ = static_cast<uint32_t>(WallSeconds());
  connectRequest = UdpTrackerPacket::ConnectRequest(connectTransaction_);
  SendDatagram(connectRequest.data(), connectRequest.size());
  phase = kPhaseExchange;
  return true;
}

void TTrackerPeer::Reset() {
  TPeerObject::Reset();
  udpSocket.Close();
  replyText.clear();
  announceTransaction_.reset();
}

bool TTrackerPeer::IsConnected() const {
  if (linkState == kUnlinked && phase == kPhaseIdle) return false;
  if (OverUdp()) return udpSocket.IsBound();
  return connection && connection->IsOpen();
}

bool TTrackerPeer::Process() {
  if (linkState == kUnlinked && phase == kPhaseNothingLeft) return false;
  if (!peerSource) return false;
  return OverUdp() ? ProcessUdp() : ProcessHttp();
}

bool TTrackerPeer::ProcessHttp() {
  if (!connection) return false;
  const int held = connection->Receive();
  if (held > 0) {
    replyText.append(reinterpret_cast<const char*>(connection->ReceivedData()),
                     static_cast<size_t>(connection->ReceivedCount()));
    connection->Consume(connection->ReceivedCount());
  }
  const bool closed = held < 0;
  if (held == 0 || linkState != kReady) return true;
  if (replyText.empty()) return !closed;
  // The reader bounds header and body, so replyText cannot grow without end.
  const TrackerReply reply = TrackerReply::Read(replyText, closed);
  if (reply.state == TrackerReply::State::kIncomplete) return !closed;
  // A reply that says nothing usable (compressed, not bencoded, cut short)
  // still ends the exchange.
  if (reply.state == TrackerReply::State::kRead) AddCandidates(reply.peers);
  replyText.clear();
  phase = kPhaseNothingLeft;
  work->TrackerAnswered(*peerSource, event);
  return true;
}

bool TTrackerPeer::ProcessUdp() {
  if (!udpSocket.IsBound()) return false;
  for (int i = 0; i < kDatagramsPerTick && phase != kPhaseNothingLeft; ++i) {
    replyText.resize(UdpTrackerPacket::kMaxDatagram);
    uint32_t fromIp = 0;
    uint16_t fromPort = 0;
    const int n = udpSocket.ReceiveFrom(replyText.data(), static_cast<int>(replyText.size()), &fromIp, &fromPort);
    replyText.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0) return false;
    if (n == 0) break;
    // Transaction ids are only the clock: a datagram from anyone but the
    // tracker is not taken for its answer.
    if (fromIp == peerSource->ip && fromPort == static_cast<uint16_t>(peerSource->port)) HandleDatagram();
  }
  return true;
}

void TTrackerPeer::HandleDatagram() {
  const std::span<const uint8_t> datagram(reinterpret_cast<const uint8_t*>(replyText.data()), replyText.size());
  if (phase == kPhaseExchange) {
    const UdpTrackerReply reply = UdpTrackerReply::Read(datagram, connectTransaction_);
    if (reply.kind == UdpTrackerReply::Kind::kConnect) {
      std::memcpy(announceRequest.data(), reply.connectionId.data(), reply.connectionId.size());
      linkState = kReady;  // the announce goes out from this tick's FillRequests
      return;
    }
  }
  if (linkState != kReady || !announceTransaction_) return;
  const UdpTrackerReply reply = UdpTrackerReply::Read(datagram, *announceTransaction_);
  if (reply.kind != UdpTrackerReply::Kind::kAnnounce) return;  // errors and strays alike
  AddCandidates(reply.peers);
  phase = kPhaseNothingLeft;
  work->TrackerAnswered(*peerSource, event);
}

bool TTrackerPeer::FillRequests() {
  if ((linkState == kUnlinked && phase == kPhaseIdle) || phase == kPhaseNothingLeft) return false;
  if (linkState != kReady || !peerSource) return true;
  const int64_t now = WallSeconds();
  // A new event ("completed", "stopped") goes out at once, even from an
  // object re-used within the repeat time.
  const int32_t next = work->TrackerEvent(*peerSource);
  if (lastAnnounce != 0 && now - lastAnnounce <= kRepeatAfter && next == event) return true;
  event = next;
  if (OverUdp())
    AnnounceUdp(now);
  else
    AnnounceHttp(now);
  lastAnnounce = now;
  return true;
}

void TTrackerPeer::AnnounceHttp(int64_t now) {
  const AnnounceFigures figures = work->TrackerFigures();
  if (!figures.hasMetadata || !connection) return;
  TPeerId& source = *peerSource;
  if (requestTarget.empty() || event != targetEvent) {
    if (requestTarget.empty()) {
      const BtPeerIdSeed seed{figures.announceUrl, platform::CurrentThreadId(), figures.taskAddress,
                              static_cast<uint64_t>(now), figures.listenIp};
      targetPeerId = MakeBtPeerId(seed);
    }
    TrackerAnnounce announce;
    if (!source.Details().path.empty()) announce.path = source.Details().path;
    announce.infoHash = figures.infoHash;
    announce.peerId = targetPeerId;
    announce.port = figures.listenPort;
    announce.uploaded = figures.uploaded;
    announce.downloaded = figures.downloaded;
    announce.left = figures.left;
    announce.event = event;
    requestTarget = announce.Target();
    targetEvent = event;
    targetTracker = source.url;
  }
  const std::string request = TrackerAnnounce::Request(requestTarget, source.Details().host, source.port);
  connection->Send(request.data(), static_cast<int>(request.size()));
}

void TTrackerPeer::AnnounceUdp(int64_t now) {
  const AnnounceFigures figures = work->TrackerFigures();
  if (!figures.hasMetadata) return;
  UdpTrackerAnnounce announce;
  std::memcpy(announce.connectionId.data(), announceRequest.data(), announce.connectionId.size());
  announce.transactionId = static_cast<uint32_t>(now + 1);
  announce.infoHash = figures.infoHash;
  announce.peerId = figures.peerId;
  announce.downloaded = figures.downloaded;
  announce.left = figures.left;
  announce.uploaded = figures.uploaded;
  announce.event = event;
  announce.ip = figures.listenIp;
  announce.port = figures.listenPort;
  announceRequest = UdpTrackerPacket::AnnounceRequest(announce);
  announceTransaction_ = announce.transactionId;
  SendDatagram(announceRequest.data(), announceRequest.size());
}

void TTrackerPeer::SendDatagram(const uint8_t* bytes, size_t length) {
  // A request that cannot go out ends the exchange: Process finds the
  // socket unbound and the pool drops the object.
  if (udpSocket.SendTo(peerSource->ip, static_cast<uint16_t>(peerSource->port), bytes, static_cast<int>(length)) < 0)
    udpSocket.Close();
}

bool TTrackerPeer::AfterTick() {
  if (connection && connection->IsOpen() && connection->QueuedCount() > 0) connection->Send(nullptr, 0);
  return true;
}

void TTrackerPeer::AddCandidates(const std::vector<TrackerPeerAddress>& peers) {
  for (const TrackerPeerAddress& peer : peers) {
    if (!UsablePeer(peer)) continue;
    RefPtr<TPeerId> candidate = TPeerId::MakeBtNode(peer.ip, peer.port);
    candidate->allowance = 1;
    std::memcpy(candidate->peerId, peer.peerId.data(), sizeof candidate->peerId);
    work->AddFoundSource(std::move(candidate));
  }
}

}  // namespace pf
