#include "engine/wire/UdpTrackerPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "support/Ipv4.h"

namespace pf {
namespace {

using namespace std::string_literals;
using testing::Ip;

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// The transaction id as this machine stores it: trackers only echo it.
std::string Raw32(uint32_t v) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &v, 4);
  return bytes;
}

std::string Compact(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d),
          static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

template <size_t N>
std::string AsString(const std::array<uint8_t, N>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), N);
}

std::span<const uint8_t> AsSpan(const std::string& bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

TEST(UdpTrackerPacket, RequestLayouts) {
  const uint32_t connectTid = 1700000000;
  EXPECT_EQ(AsString(UdpTrackerPacket::ConnectRequest(connectTid)),
            "\x00\x00\x04\x17\x27\x10\x19\x80"s + "\x00\x00\x00\x00"s + Raw32(connectTid));

  UdpTrackerAnnounce a;
  a.connectionId = {1, 2, 3, 4, 5, 6, 7, 8};
  a.transactionId = connectTid + 1;
  a.infoHash.fill('H');
  const std::string peerId = "\x00\x01Ss"s + std::string(16, 'p');
  std::memcpy(a.peerId.data(), peerId.data(), 20);
  a.downloaded = 0x0102030405;
  a.left = 5000000000;
  a.uploaded = -1;  // sign-extended
  a.ip = Ip(192, 168, 1, 20);
  a.port = 6881;
  const std::string expected = "\x01\x02\x03\x04\x05\x06\x07\x08"s + Be32(1) + Raw32(connectTid + 1) +
                               std::string(20, 'H') + peerId +
                               "\x00\x00\x00\x01\x02\x03\x04\x05"s +  // downloaded
                               "\x00\x00\x00\x01\x2a\x05\xf2\x00"s +  // left
                               std::string(8, '\xff') +               // uploaded
                               Be32(2) +                              // event: started
                               "\xc0\xa8\x01\x14"s +                  // our address
                               Be32(0) +                              // key
                               Be32(200) +                            // num_want
                               "\x1a\xe1"s + std::string(6, '\0');
  ASSERT_EQ(expected.size(), 104u);
  EXPECT_EQ(AsString(UdpTrackerPacket::AnnounceRequest(a)), expected);
}

TEST(UdpTrackerPacket, RepliesAreCheckedAgainstTheirTransaction) {
  using K = UdpTrackerReply::Kind;
  const uint32_t t = 0x01020304;
  const std::string connectionId = "\xde\xad\xbe\xef\x00\x00\x00\x2a"s;
  const std::string announce = Be32(1) + Raw32(t) + Be32(1800) + Be32(3) + Be32(7) +
                               Compact(10, 0, 0, 1, 6881) + Compact(0, 0, 0, 0, 1) +
                               Compact(10, 0, 0, 2, 0) + Compact(10, 0, 0, 3, 51413) + "\x01\x02\x03";
  struct Case {
    const char* name;
    std::string datagram;
    K kind;
    size_t peers;
  } cases[] = {
      {"connect reply", Be32(0) + Raw32(t) + connectionId, K::kConnect, 0},
      {"connect reply, another transaction", Be32(0) + Raw32(t + 1) + connectionId, K::kInvalid, 0},
      {"connect reply, 15 bytes", (Be32(0) + Raw32(t) + connectionId).substr(0, 15), K::kInvalid, 0},
      {"announce reply: unusable and partial entries skipped", announce, K::kAnnounce, 2},
      {"announce reply, another transaction", Be32(1) + Raw32(t - 1) + announce.substr(8), K::kInvalid, 0},
      {"announce reply, 19 bytes", announce.substr(0, 19), K::kInvalid, 0},
      {"announce reply without peers", announce.substr(0, 20), K::kAnnounce, 0},
      {"error", Be32(3) + Raw32(t) + "unknown torrent", K::kError, 0},
      {"error, another transaction", Be32(3) + Raw32(t + 1) + "unknown torrent", K::kInvalid, 0},
      {"scrape reply", Be32(2) + Raw32(t) + std::string(12, '\0'), K::kInvalid, 0},
      {"7 bytes", Be32(0) + "\x01\x02\x03", K::kInvalid, 0},
  };
  for (const auto& c : cases) {
    const UdpTrackerReply reply = UdpTrackerReply::Read(AsSpan(c.datagram), t);
    EXPECT_EQ(reply.kind, c.kind) << c.name;
    EXPECT_EQ(reply.peers.size(), c.peers) << c.name;
  }

  EXPECT_EQ(AsString(UdpTrackerReply::Read(AsSpan(cases[0].datagram), t).connectionId), connectionId);
  const UdpTrackerReply peers = UdpTrackerReply::Read(AsSpan(announce), t);
  EXPECT_EQ(peers.interval, 1800u);
  ASSERT_EQ(peers.peers.size(), 2u);
  EXPECT_EQ(peers.peers[1].ip, Ip(10, 0, 0, 3));
  EXPECT_EQ(peers.peers[1].port, 51413);
  EXPECT_EQ(peers.peers[1].peerId, (std::array<uint8_t, 20>{})) << "UDP replies carry no ids";
  EXPECT_EQ(UdpTrackerReply::Read(AsSpan(cases[7].datagram), t).problem, "unknown torrent");

  std::string flood = Be32(1) + Raw32(t) + std::string(12, '\0');
  for (int i = 0; i < 1500; ++i) flood += Compact(10, 2, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 1);
  EXPECT_EQ(UdpTrackerReply::Read(AsSpan(flood), t).peers.size(), TrackerReply::kMaxPeers);
}

}  // namespace
}  // namespace pf
