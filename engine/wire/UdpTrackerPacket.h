#pragma once
// The datagrams of the UDP tracker protocol (BEP 15), without any socket:
// building the connect and announce requests and reading the replies.
// Integers are big-endian on the wire, except the transaction id: it is only
// compared with the tracker's echo, so it goes out in this machine's order.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/wire/TrackerAnnounce.h"

namespace pf {

// Everything one UDP announce tells the tracker.
struct UdpTrackerAnnounce {
  std::array<uint8_t, 8> connectionId{};  // as the connect reply gave it
  uint32_t transactionId = 0;
  std::array<uint8_t, 20> infoHash{};
  std::array<uint8_t, 20> peerId{};
  int64_t downloaded = 0;
  int64_t left = 0;
  int64_t uploaded = 0;
  int32_t event = TrackerAnnounce::kEventStarted;
  uint32_t ip = 0;    // our listener's address, network order
  uint16_t port = 0;  // our listener's port
};

// What a datagram from the tracker turned out to be.
struct UdpTrackerReply {
  enum class Kind {
    kInvalid,   // too short, another transaction, unknown action; `problem` says why
    kConnect,   // `connectionId` is set
    kAnnounce,  // `peers` and the three counters are set
    kError,     // the tracker refused; `problem` holds its message
  };

  static constexpr size_t kMaxMessage = 200;

  Kind kind = Kind::kInvalid;
  std::string problem;
  std::array<uint8_t, 8> connectionId{};
  uint32_t interval = 0;
  uint32_t leechers = 0;
  uint32_t seeders = 0;
  std::vector<TrackerPeerAddress> peers;  // at most TrackerReply::kMaxPeers, all-zero ids

  // Reads one datagram. Anything whose transaction id is not `transactionId`
  // is kInvalid, whatever its action.
  static UdpTrackerReply Read(std::span<const uint8_t> datagram, uint32_t transactionId);
};

class UdpTrackerPacket {
 public:
  static constexpr uint64_t kProtocolId = 0x41727101980ull;
  static constexpr uint32_t kActionConnect = 0;
  static constexpr uint32_t kActionAnnounce = 1;
  static constexpr uint32_t kActionError = 3;
  static constexpr size_t kConnectRequestSize = 16;
  static constexpr size_t kAnnounceRequestSize = 104;
  static constexpr size_t kConnectReplySize = 16;
  static constexpr size_t kAnnounceReplyHeaderSize = 20;
  static constexpr size_t kMaxDatagram = 2048;  // what one receive takes
  static constexpr uint32_t kNumWant = 200;

  // Protocol id, action 0, transaction id.
  static std::array<uint8_t, kConnectRequestSize> ConnectRequest(uint32_t transactionId);
  // Connection id, action 1, transaction id, info-hash, peer id, downloaded,
  // left, uploaded, event, address, key 0, num_want 200, port, 6 zero bytes.
  static std::array<uint8_t, kAnnounceRequestSize> AnnounceRequest(const UdpTrackerAnnounce& announce);
};

}  // namespace pf
