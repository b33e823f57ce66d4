#include "engine/wire/BtHandshake.h"

#include <gtest/gtest.h>

#include <string>

#include "support/Ipv4.h"

namespace pf {
namespace {

using testing::Ip;

BtHash Filled(uint8_t first) {
  BtHash hash;
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(first + i);
  return hash;
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Text(const BtHandshakeBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(BtHandshake, OursOnTheWire) {
  const BtHash infoHash = Filled(0xA0);
  const BtHash peerId = Filled(0x10);
  const std::string bytes = Text(BuildBtHandshake(infoHash, peerId));
  EXPECT_EQ(bytes.substr(0, 28), std::string("\x13" "BitTorrent protocol") + std::string(8, '\0'));
  EXPECT_EQ(bytes.substr(28, 20), std::string(infoHash.begin(), infoHash.end()));
  EXPECT_EQ(bytes.substr(48), std::string(peerId.begin(), peerId.end()));

  const BtHandshakeResult read = ReadBtHandshake(Bytes(bytes + "trailing message bytes"));
  EXPECT_EQ(read.status, BtHandshakeStatus::kValid);
  EXPECT_EQ(read.infoHash, infoHash);
  EXPECT_EQ(read.peerId, peerId);
}

TEST(BtHandshake, IncomingHandshakesJudgedForOneTask) {
  const BtHash ours = Filled(0xA0);
  const BtHash ownId = MakeBtPeerId({"http://t/announce", 1, 2, 3, 4});
  const BtHash theirId = Filled(0x40);
  const std::string good = Text(BuildBtHandshake(ours, theirId));
  std::string extensions = good;
  extensions[25] = 0x10;  // reserved bits of the extension protocol are not ours to judge
  extensions[27] = 0x05;

  struct Case {
    const char* what;
    std::string bytes;
    BtHandshakeStatus status;
    bool infoHashKnown;
  } cases[] = {
      {"whole", good, BtHandshakeStatus::kValid, true},
      {"reserved bits set", extensions, BtHandshakeStatus::kValid, true},
      {"nothing yet", "", BtHandshakeStatus::kNeedMore, false},
      {"up to the info-hash", good.substr(0, 48), BtHandshakeStatus::kNeedMore, true},
      {"67 bytes", good.substr(0, 67), BtHandshakeStatus::kNeedMore, true},
      {"another torrent, known at 48 bytes", Text(BuildBtHandshake(Filled(0xB0), theirId)).substr(0, 48),
       BtHandshakeStatus::kOtherTorrent, true},
      {"ourselves", Text(BuildBtHandshake(ours, ownId)), BtHandshakeStatus::kOwnPeerId, true},
      {"an HTTP request", "GET / HTTP/1.0\r\n", BtHandshakeStatus::kNotBitTorrent, false},
      {"wrong length byte", "\x12" + good.substr(1), BtHandshakeStatus::kNotBitTorrent, false},
      {"wrong protocol, seen early", "\x13" "BitTorrent pro_", BtHandshakeStatus::kNotBitTorrent, false},
  };
  for (const Case& c : cases) {
    const BtHandshakeResult result = CheckBtHandshake(Bytes(c.bytes), ours, ownId);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.infoHash.has_value(), c.infoHashKnown) << c.what;
    if (c.status == BtHandshakeStatus::kValid) {
      EXPECT_EQ(result.peerId, theirId) << c.what;
    }
  }
}

TEST(BtPeerId, MadeFromTheDigestOfTheSeedAndCarriesTheNodeAddress) {
  // md5("http://tracker.local:6969/announce" "140737" "94558531233792" "4294967295" "16885952")
  const BtHash id = MakeBtPeerId({"http://tracker.local:6969/announce", 140737, 94558531233792u, 4294967295u,
                                  Ip(192, 168, 1, 1)});
  const BtHash expected = {0x00, 0x01, 0x53, 0x73, 0xf3, 0xc3, 0x0a, 0x5d, 0x57, 0xc5,
                           0x2c, 0x95, 0x8b, 0xa0, 0x7b, 0x48, 0x17, 0x94, 0x0d, 0x88};
  EXPECT_EQ(id, expected);
  EXPECT_NE(MakeBtPeerId({"http://tracker.local:6969/announce", 140737, 94558531233792u, 4294967296u,
                          Ip(192, 168, 1, 1)}),
            id)
      << "another tick, another id";

  BtHash withNode = id;
  const uint8_t node[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  SetBtNodeAddress(withNode, node);
  EXPECT_EQ(std::string(withNode.begin(), withNode.begin() + 8), std::string(id.begin(), id.begin() + 8));
  EXPECT_EQ(std::string(withNode.begin() + 8, withNode.end()), std::string(node, node + 12));
}

TEST(BtPeerId, UdpNodeKeyOfSyntheticAndRealIds) {
  const uint32_t ip = Ip(10, 1, 2, 3);
  BtHash synthetic{};  // a tracker's compact entry: 14 zero bytes, address, port 6881
  const uint8_t entry[6] = {10, 1, 2, 3, 0x1a, 0xe1};
  std::copy(entry, entry + 6, synthetic.begin() + 14);
  BtHash elsewhere = synthetic;
  elsewhere[17] = 4;  // the entry names another address than the one connected
  BtHash real = synthetic;
  real[0] = 0x2d;

  struct Case {
    const char* what;
    BtHash id;
    size_t from;
  } cases[] = {{"synthetic", synthetic, 12}, {"synthetic, other address", elsewhere, 8}, {"real id", real, 8}};
  for (const Case& c : cases) {
    const std::array<uint8_t, 8> key = BtUdpNodeKey(c.id, ip);
    EXPECT_EQ(std::string(key.begin(), key.end()), std::string(c.id.begin() + c.from, c.id.begin() + c.from + 8))
        << c.what;
  }
}

}  // namespace
}  // namespace pf
