#include "engine/wire/TrackerAnnounce.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/Ipv4.h"

namespace pf {
namespace {

using namespace std::string_literals;
using testing::Ip;

template <size_t N>
std::array<uint8_t, N> Bytes(std::string_view text) {
  std::array<uint8_t, N> bytes{};
  std::copy_n(text.begin(), N, bytes.begin());
  return bytes;
}

// A compact peer entry: 4 address bytes, then the port big-endian.
std::string Compact(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d),
          static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

std::string Str(std::string_view text) { return std::to_string(text.size()) + ":" + std::string(text); }

std::string Http(std::string_view body, bool withLength = true) {
  std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n";
  if (withLength) reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return reply + "\r\n" + std::string(body);
}

TrackerPeerAddress Peer(uint32_t ip, uint16_t port, std::string_view id) {
  return {ip, port, Bytes<20>(id)};
}

// The id the tracker layer makes up for a peer it got without one.
std::string SyntheticId(const std::string& compact) { return std::string(14, '\0') + compact; }

TEST(TrackerAnnounce, TargetAndRequestBytes) {
  TrackerAnnounce announce;
  announce.path = "/announce";
  // Letters and digits stay; everything else, '-', '.', '~' and NUL included, is escaped.
  announce.infoHash = Bytes<20>("\x12\x34" "Az0" "\xff" "-.~" "abcdefghijk");
  announce.peerId = Bytes<20>("\x00\x01Ss0123456789ABCDEF"s);
  announce.port = 6881;
  announce.uploaded = 0;
  announce.downloaded = 123456;
  announce.left = 5000000000;
  const std::string target = announce.Target();
  EXPECT_EQ(target,
            "/announce?info_hash=%124Az0%ff%2d%2e%7eabcdefghijk&peer_id=%00%01Ss0123456789ABCDEF"
            "&port=6881&uploaded=0&downloaded=123456&left=5000000000&event=started&key=5127"
            "&compact=1&numwant=200");

  EXPECT_EQ(TrackerAnnounce::Request(target, "tracker.test", 6969),
            "GET " + target + " HTTP/1.0\r\n"
            "User-Agent: BitTorrent/4.1.2\r\n"
            "Host: tracker.test:6969\r\n"
            "Accept-Encoding: gzip\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_NE(TrackerAnnounce::Request("/a", "tracker.test", 80).find("\r\nHost: tracker.test\r\n"),
            std::string::npos);

  const std::pair<int32_t, const char*> events[] = {{1, "&event=completed&"}, {2, "&event=started&"},
                                                    {0, "&event=stopped&"}, {3, "&event=stopped&"}};
  for (const auto& [event, text] : events) {
    announce.event = event;
    EXPECT_NE(announce.Target().find(text), std::string::npos) << event;
  }
}

TEST(TrackerReply, PeersFromCompactAndDictionaryForms) {
  const std::string id = "-TR3000-abcdefghijkl";
  struct Case {
    const char* name;
    std::string body;
    std::vector<TrackerPeerAddress> peers;
  } cases[] = {
      {"13 compact bytes: two peers, the last byte ignored",
       "d8:intervali1800e5:peers13:" + Compact(10, 0, 0, 1, 6881) + Compact(192, 168, 1, 2, 51413) + "Xe",
       {Peer(Ip(10, 0, 0, 1), 6881, SyntheticId(Compact(10, 0, 0, 1, 6881))),
        Peer(Ip(192, 168, 1, 2), 51413, SyntheticId(Compact(192, 168, 1, 2, 51413)))}},
      {"compact entries with no address, a broadcast address or port 0 are skipped",
       "d5:peers24:" + Compact(0, 0, 0, 0, 6881) + Compact(255, 255, 255, 255, 6881) +
           Compact(10, 0, 0, 2, 0) + Compact(10, 0, 0, 3, 1) + "e",
       {Peer(Ip(10, 0, 0, 3), 1, SyntheticId(Compact(10, 0, 0, 3, 1)))}},
      {"dictionary form",
       "d5:peersl"
       "d2:ip8:10.0.0.47:peer id" + Str(id) + "4:porti51413ee"
       "d2:IP8:10.0.0.54:Porti6882ee"                      // any letter case; no id
       "d2:ip8:10.0.0.67:peer id3:abc4:porti6883ee"        // id too short
       "d2:ip12:tracker.test4:porti1ee"                    // names are not looked up
       "d2:ip3:::14:porti1ee"
       "d2:ip8:10.0.0.74:porti0ee"
       "d2:ip8:10.0.0.84:porti70000ee"
       "d2:ip8:10.0.0.9e"
       "d4:porti5ee"
       "4:junk"
       "ee",
       {Peer(Ip(10, 0, 0, 4), 51413, id),
        Peer(Ip(10, 0, 0, 5), 6882, SyntheticId(Compact(10, 0, 0, 5, 6882))),
        Peer(Ip(10, 0, 0, 6), 6883, SyntheticId(Compact(10, 0, 0, 6, 6883)))}},
      {"no peers at all", "d8:intervali900ee", {}},
      {"IPv6 peers only", "d6:peers618:" + std::string(18, '\x01') + "e", {}},
      {"an empty peer list", "d5:peerslee", {}},
  };
  for (const auto& c : cases) {
    const TrackerReply reply = TrackerReply::Read(Http(c.body), false);
    ASSERT_EQ(reply.state, TrackerReply::State::kRead) << c.name << ": " << reply.error;
    EXPECT_EQ(reply.peers, c.peers) << c.name;
  }
  EXPECT_EQ(TrackerReply::Read(Http(cases[0].body), false).interval, 1800);
}

TEST(TrackerReply, FailureReasonIsReportedAndThePeersStillRead) {
  const TrackerReply reply = TrackerReply::Read(
      Http("d14:failure reason22:unregistered info_hash5:peers6:" + Compact(10, 0, 0, 9, 80) + "e"), false);
  EXPECT_EQ(reply.state, TrackerReply::State::kRead);
  EXPECT_EQ(reply.failureReason, "unregistered info_hash");
  EXPECT_EQ(reply.peers.size(), 1u);
}

TEST(TrackerReply, FindsWhereTheBodyEnds) {
  // Compact peers hold NUL bytes; they must not cut a body that has no length.
  const std::string body = "d5:peers12:" + Compact(10, 0, 0, 1, 0x1A00) + Compact(10, 0, 0, 2, 6881) + "e";
  const std::string withLength = Http(body);
  const std::string withoutLength = Http(body, false);
  const std::string partHeader = "HTTP/1.0 200 OK\r\nContent-Le";
  using S = TrackerReply::State;
  struct Case {
    const char* name;
    std::string buffered;
    bool closed;
    S state;
    size_t used;
  } cases[] = {
      {"whole, with length", withLength, false, S::kRead, withLength.size()},
      {"bytes after the announced length are not used", withLength + "HTTP/1.0", false, S::kRead,
       withLength.size()},
      {"one byte short, open", withLength.substr(0, withLength.size() - 1), false, S::kIncomplete, 0},
      {"one byte short, closed", withLength.substr(0, withLength.size() - 1), true, S::kUnusable,
       withLength.size() - 1},
      {"no length, whole dictionary, still open", withoutLength, false, S::kRead, withoutLength.size()},
      {"no length, whole dictionary, closed", withoutLength, true, S::kRead, withoutLength.size()},
      {"no length, cut short, open", withoutLength.substr(0, withoutLength.size() - 3), false,
       S::kIncomplete, 0},
      {"no length, cut short, closed", withoutLength.substr(0, withoutLength.size() - 3), true,
       S::kUnusable, withoutLength.size() - 3},
      {"header not finished, open", partHeader, false, S::kIncomplete, 0},
      {"header not finished, closed", partHeader, true, S::kUnusable, partHeader.size()},
  };
  for (const auto& c : cases) {
    const TrackerReply reply = TrackerReply::Read(c.buffered, c.closed);
    EXPECT_EQ(reply.state, c.state) << c.name << ": " << reply.error;
    EXPECT_EQ(reply.used, c.used) << c.name;
    if (c.state == S::kRead) {
      EXPECT_EQ(reply.peers.size(), 2u) << c.name;
    }
  }
}

TEST(TrackerReply, GarbageEndsTheExchangeWithAReason) {
  const std::string gzip = "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x4b\x49\x4d\x05\x00"s;
  struct Case {
    std::string buffered;
    bool closed;
    const char* error;
  } cases[] = {
      {Http("hello"), false, "not bencoded"},
      {Http("d5:peers12:abce"), false, "not bencoded"},  // string runs past the body
      {Http(std::string(5000, 'l') + std::string(5000, 'e')), false, "not bencoded"},
      {Http("l4:spame"), false, "not a bencoded dictionary"},
      {Http(gzip), false, "gzip"},
      {"HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 15\r\n\r\n" + gzip, false, "compressed"},
      {"HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", false, "HTTP status 404"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false, "empty"},
      {"HTTP/1.0 200 OK\r\n\r\n", true, "empty"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 999999999\r\n\r\nd5:pe", false, "too large"},
      {"HTTP/1.0 200 OK\r\nX: " + std::string(20000, 'x'), false, "header longer"},
      {Http("d5:peers" + std::string(300000, 'l'), false), false, "larger than"},
  };
  for (const auto& c : cases) {
    const TrackerReply reply = TrackerReply::Read(c.buffered, c.closed);
    EXPECT_EQ(reply.state, TrackerReply::State::kUnusable) << c.error;
    EXPECT_NE(reply.error.find(c.error), std::string::npos) << c.error << " vs " << reply.error;
    EXPECT_TRUE(reply.peers.empty());
  }
}

TEST(TrackerReply, PeerCountIsBounded) {
  std::string compact;
  for (int i = 0; i < 3000; ++i) compact += Compact(10, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 6881);
  EXPECT_EQ(TrackerReply::Read(Http("d5:peers" + Str(compact) + "e"), false).peers.size(),
            TrackerReply::kMaxPeers);

  std::string list = "d5:peersl";
  for (int i = 0; i < 3000; ++i) list += "d2:ip8:10.0.0.14:porti" + std::to_string(i + 1) + "ee";
  EXPECT_EQ(TrackerReply::Read(Http(list + "ee"), false).peers.size(), TrackerReply::kMaxPeers);

  // As many list elements as the size bound allows: read, nothing found.
  std::string empties = "d5:peersl";
  while (empties.size() < TrackerReply::kMaxBodyBytes - 4) empties += "de";
  const TrackerReply many = TrackerReply::Read(Http(empties + "ee"), false);
  EXPECT_EQ(many.state, TrackerReply::State::kRead) << many.error;
  EXPECT_TRUE(many.peers.empty());
}

}  // namespace
}  // namespace pf
