#pragma once
// The 68-byte BitTorrent handshake and this engine's peer id.
//   byte 0      19
//   1..19       "BitTorrent protocol"
//   20..27      reserved, zero in ours, ignored in theirs
//   28..47      info-hash
//   48..67      peer id
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pf {

using BtHash = std::array<uint8_t, 20>;  // an info-hash or a peer id
using BtHandshakeBytes = std::array<uint8_t, 68>;

inline constexpr size_t kBtHandshakeSize = 68;
inline constexpr size_t kBtHandshakeInfoHashAt = 28;
inline constexpr size_t kBtHandshakePeerIdAt = 48;  // where the info-hash ends
inline constexpr std::string_view kBtProtocol = "BitTorrent protocol";

// What our peer id is made from. Only the digest of these matters to other
// peers: it keeps ids of different tasks and runs apart.
struct BtPeerIdSeed {
  std::string_view announceUrl;
  uint64_t threadHandle = 0;
  uint64_t taskAddress = 0;
  uint64_t clock = 0;    // the tick count (tracker requests use engine seconds)
  uint32_t localIp = 0;  // as the engine holds it
};

// 00 01 'S' 's', then the MD5 digest of the seed's values written as
// decimal text one after the other.
BtHash MakeBtPeerId(const BtPeerIdSeed& seed);
// While the UDP service runs, bytes 8..19 carry its node address, so that a
// peer can reach us over UDP by our peer id alone.
void SetBtNodeAddress(BtHash& peerId, std::span<const uint8_t, 12> nodeAddress);
// The 8-byte UDP node key of a peer: from the synthetic id of a tracker's
// compact entry (14 zero bytes, the address, the port) bytes 12..19, from any
// other id bytes 8..15. `peerIp` is in network order.
std::array<uint8_t, 8> BtUdpNodeKey(const BtHash& peerId, uint32_t peerIp);

BtHandshakeBytes BuildBtHandshake(const BtHash& infoHash, const BtHash& peerId);

enum class BtHandshakeStatus : uint8_t {
  kNeedMore,       // what arrived so far may still become a handshake
  kValid,          // 68 bytes, ours to accept
  kNotBitTorrent,  // the first bytes are not the protocol string
  kOtherTorrent,   // a handshake for another info-hash
  kOwnPeerId,      // the peer id is ours: we reached ourselves
};

struct BtHandshakeResult {
  BtHandshakeStatus status = BtHandshakeStatus::kNeedMore;
  std::optional<BtHash> infoHash;  // as soon as 48 bytes with the protocol string arrived
  BtHash peerId{};                 // with kValid and kOwnPeerId
};

// Reads a handshake at the front of `buffered` for whatever torrent it names
// (an incoming connection not yet matched to a task). Bad bytes are reported
// as soon as they arrive; never kOtherTorrent or kOwnPeerId.
BtHandshakeResult ReadBtHandshake(std::span<const uint8_t> buffered);
// The same for a task with this info-hash and peer id.
BtHandshakeResult CheckBtHandshake(std::span<const uint8_t> buffered, const BtHash& infoHash,
                                   const BtHash& ownPeerId);

}  // namespace pf
