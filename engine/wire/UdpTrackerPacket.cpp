#include "engine/wire/UdpTrackerPacket.h"

#include <algorithm>
#include <cstring>

namespace pf {
namespace {

void PutBe(uint8_t* at, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    at[i] = static_cast<uint8_t>(value & 0xFF);
    value >>= 8;
  }
}

uint32_t GetBe32(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

void PutTransaction(uint8_t* at, uint32_t transactionId) { std::memcpy(at, &transactionId, 4); }

UdpTrackerReply Invalid(std::string why) {
  UdpTrackerReply reply;
  reply.problem = std::move(why);
  return reply;
}

}  // namespace

std::array<uint8_t, UdpTrackerPacket::kConnectRequestSize> UdpTrackerPacket::ConnectRequest(
    uint32_t transactionId) {
  std::array<uint8_t, kConnectRequestSize> packet{};
  PutBe(packet.data(), kProtocolId, 8);
  PutBe(packet.data() + 8, kActionConnect, 4);
  PutTransaction(packet.data() + 12, transactionId);
  return packet;
}

std::array<uint8_t, UdpTrackerPacket::kAnnounceRequestSize> UdpTrackerPacket::AnnounceRequest(
    const UdpTrackerAnnounce& announce) {
  std::array<uint8_t, kAnnounceRequestSize> packet{};
  uint8_t* p = packet.data();
  std::memcpy(p, announce.connectionId.data(), 8);
  PutBe(p + 8, kActionAnnounce, 4);
  PutTransaction(p + 12, announce.transactionId);
  std::memcpy(p + 16, announce.infoHash.data(), 20);
  std::memcpy(p + 36, announce.peerId.data(), 20);
  PutBe(p + 56, static_cast<uint64_t>(announce.downloaded), 8);
  PutBe(p + 64, static_cast<uint64_t>(announce.left), 8);
  PutBe(p + 72, static_cast<uint64_t>(announce.uploaded), 8);
  PutBe(p + 80, static_cast<uint32_t>(announce.event), 4);
  std::memcpy(p + 84, &announce.ip, 4);  // already in network order
  PutBe(p + 88, 0, 4);                   // key
  PutBe(p + 92, kNumWant, 4);
  PutBe(p + 96, announce.port, 2);
  return packet;  // bytes 98-103 stay zero
}

UdpTrackerReply UdpTrackerReply::Read(std::span<const uint8_t> datagram, uint32_t transactionId) {
  if (datagram.size() < 8) return Invalid("datagram of " + std::to_string(datagram.size()) + " bytes");
  uint8_t expected[4];
  PutTransaction(expected, transactionId);
  if (std::memcmp(datagram.data() + 4, expected, 4) != 0) return Invalid("another transaction");

  const uint32_t action = GetBe32(datagram.data());
  UdpTrackerReply reply;
  switch (action) {
    case UdpTrackerPacket::kActionConnect:
      if (datagram.size() < UdpTrackerPacket::kConnectReplySize) return Invalid("short connect reply");
      reply.kind = Kind::kConnect;
      std::memcpy(reply.connectionId.data(), datagram.data() + 8, 8);
      return reply;

    case UdpTrackerPacket::kActionAnnounce: {
      if (datagram.size() < UdpTrackerPacket::kAnnounceReplyHeaderSize)
        return Invalid("short announce reply");
      reply.kind = Kind::kAnnounce;
      reply.interval = GetBe32(datagram.data() + 8);
      reply.leechers = GetBe32(datagram.data() + 12);
      reply.seeders = GetBe32(datagram.data() + 16);
      for (size_t at = UdpTrackerPacket::kAnnounceReplyHeaderSize;
           at + 6 <= datagram.size() && reply.peers.size() < TrackerReply::kMaxPeers; at += 6) {
        TrackerPeerAddress peer;
        std::memcpy(&peer.ip, datagram.data() + at, 4);
        peer.port = static_cast<uint16_t>((datagram[at + 4] << 8) | datagram[at + 5]);
        if (peer.ip == 0 || peer.ip == 0xFFFFFFFFu || peer.port == 0) continue;
        reply.peers.push_back(peer);
      }
      return reply;
    }

    case UdpTrackerPacket::kActionError: {
      reply.kind = Kind::kError;
      const size_t length = std::min(datagram.size() - 8, kMaxMessage);
      reply.problem.assign(reinterpret_cast<const char*>(datagram.data() + 8), length);
      return reply;
    }

    default:
      return Invalid("unknown action " + std::to_string(action));
  }
}

}  // namespace pf
