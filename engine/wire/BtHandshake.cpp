#include "engine/wire/BtHandshake.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/content/Md5.h"

namespace pf {
BtHash MakeBtPeerId(const BtPeerIdSeed& seed) {
  std::string text(seed.announceUrl);
  text += std::to_string(seed.threadHandle);
  text += std::to_string(seed.taskAddress);
  text += std::to_string(seed.clock);
  text += std::to_string(seed.localIp);
  const Md5::Digest digest = Md5::hash(text);
  BtHash id{0x00, 0x01, 'S', 's'};
  std::copy(digest.begin(), digest.end(), id.begin() + 4);
  return id;
}

void SetBtNodeAddress(BtHash& peerId, std::span<const uint8_t, 12> nodeAddress) {
  std::copy(nodeAddress.begin(), nodeAddress.end(), peerId.begin() + 8);
}

std::array<uint8_t, 8> BtUdpNodeKey(const BtHash& peerId, uint32_t peerIp) {
  const bool synthetic = std::all_of(peerId.begin(), peerId.begin() + 14, [](uint8_t b) { return b == 0; }) &&
                         std::memcmp(peerId.data() + 14, &peerIp, 4) == 0;
  std::array<uint8_t, 8> key;
  const auto from = peerId.begin() + (synthetic ? 12 : 8);
  std::copy(from, from + 8, key.begin());
  return key;
}

BtHandshakeBytes BuildBtHandshake(const BtHash& infoHash, const BtHash& peerId) {
  BtHandshakeBytes bytes{};
  bytes[0] = static_cast<uint8_t>(kBtProtocol.size());
  std::copy(kBtProtocol.begin(), kBtProtocol.end(), bytes.begin() + 1);
  std::copy(infoHash.begin(), infoHash.end(), bytes.begin() + kBtHandshakeInfoHashAt);
  std::copy(peerId.begin(), peerId.end(), bytes.begin() + kBtHandshakePeerIdAt);
  return bytes;
}

BtHandshakeResult ReadBtHandshake(std::span<const uint8_t> buffered) {
  BtHandshakeResult result;
  // Byte 0 and the protocol string, compared as far as they arrived, so a
  // stranger is turned away without waiting for 68 bytes.
  const size_t prefix = std::min(buffered.size(), 1 + kBtProtocol.size());
  for (size_t i = 0; i < prefix; ++i) {
    const uint8_t expected = i == 0 ? static_cast<uint8_t>(kBtProtocol.size()) : kBtProtocol[i - 1];
    if (buffered[i] != expected) {
      result.status = BtHandshakeStatus::kNotBitTorrent;
      return result;
    }
  }
  if (buffered.size() >= kBtHandshakePeerIdAt) {
    BtHash hash;
    std::copy_n(buffered.begin() + kBtHandshakeInfoHashAt, hash.size(), hash.begin());
    result.infoHash = hash;
  }
  if (buffered.size() >= kBtHandshakeSize) {
    std::copy_n(buffered.begin() + kBtHandshakePeerIdAt, result.peerId.size(), result.peerId.begin());
    result.status = BtHandshakeStatus::kValid;
  }
  return result;
}

BtHandshakeResult CheckBtHandshake(std::span<const uint8_t> buffered, const BtHash& infoHash,
                                   const BtHash& ownPeerId) {
  BtHandshakeResult result = ReadBtHandshake(buffered);
  if (result.status == BtHandshakeStatus::kNotBitTorrent) return result;
  if (result.infoHash && *result.infoHash != infoHash) {
    result.status = BtHandshakeStatus::kOtherTorrent;
  } else if (result.status == BtHandshakeStatus::kValid && result.peerId == ownPeerId) {
    result.status = BtHandshakeStatus::kOwnPeerId;
  }
  return result;
}

}  // namespace pf
