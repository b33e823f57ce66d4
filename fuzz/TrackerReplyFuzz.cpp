// Feeds arbitrary bytes to the tracker reply readers as a tracker would send
// them: the buffered HTTP reply (connection open and closed), the bare body,
// and the same bytes as a UDP tracker datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "engine/wire/TrackerAnnounce.h"
#include "engine/wire/UdpTrackerPacket.h"

namespace {

void CheckPeers(const std::vector<pf::TrackerPeerAddress>& peers) {
  if (peers.size() > pf::TrackerReply::kMaxPeers) __builtin_trap();
  for (const pf::TrackerPeerAddress& peer : peers)
    if (peer.ip == 0 || peer.ip == 0xFFFFFFFFu || peer.port == 0) __builtin_trap();
}

void CheckHttp(const pf::TrackerReply& reply, size_t size) {
  if (reply.used > size) __builtin_trap();
  if (reply.state != pf::TrackerReply::State::kRead && !reply.peers.empty()) __builtin_trap();
  if (reply.failureReason.size() > pf::TrackerReply::kMaxFailureReason) __builtin_trap();
  CheckPeers(reply.peers);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckHttp(pf::TrackerReply::Read(bytes, false), size);
  CheckHttp(pf::TrackerReply::Read(bytes, true), size);
  CheckHttp(pf::TrackerReply::ReadBody(bytes), size);

  uint32_t transaction = 0;
  if (size >= 8) std::memcpy(&transaction, data + 4, 4);  // let the echo match
  const pf::UdpTrackerReply datagram = pf::UdpTrackerReply::Read(std::span<const uint8_t>(data, size), transaction);
  if (datagram.problem.size() > pf::UdpTrackerReply::kMaxMessage + 64) __builtin_trap();
  CheckPeers(datagram.peers);
  return 0;
}
