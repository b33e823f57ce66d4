#include "engine/peers/TTrackerPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/FakePeerHost.h"
#include "support/Ipv4.h"

namespace pf {
namespace {

using testing::FakePeerHost;
using testing::Ip;
using Bytes = std::string;
using namespace std::string_literals;

constexpr int64_t kStart = FakePeerHost::kStart;

// A task that has its torrent, with a clock the test moves.
class FakeTask : public FakePeerHost {
 public:
  FakeTask() {
    figures.hasMetadata = true;
    std::memcpy(figures.infoHash.data(), "\x00" "bcdefghijklmnopqrs\xff", 20);
    std::memcpy(figures.peerId.data(), "-PF0001-abcdefghijkl", 20);
    figures.announceUrl = "http://tracker.example/announce";
    figures.listenIp = Ip(127, 0, 0, 1);
    figures.listenPort = 6881;
    figures.uploaded = 5;
    figures.downloaded = 7;
    figures.left = 1000;
  }
  AnnounceFigures TrackerFigures() override { return figures; }

  AnnounceFigures figures;
};

bool Readable(int fd, int milliseconds) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, milliseconds) == 1;
}

sockaddr_in Address(uint32_t ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ip;
  a.sin_port = htons(port);
  return a;
}

// A socket of the test's own, bound on loopback; port 0 takes a free one.
class TestSocket {
 public:
  TestSocket(int type, uint32_t ip, uint16_t port) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Address(ip, port);
    socklen_t length = sizeof a;
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
             ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    port_ = ntohs(a.sin_port);
  }
  ~TestSocket() { ::close(fd_); }
  TestSocket(const TestSocket&) = delete;
  TestSocket& operator=(const TestSocket&) = delete;

  bool bound() const { return bound_; }
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  bool bound_ = false;
  uint16_t port_ = 0;
};

// An HTTP tracker on loopback that takes one connection.
class HttpTracker {
 public:
  HttpTracker(uint32_t ip, uint16_t port) : socket_(SOCK_STREAM, ip, port) {
    if (socket_.bound()) ::listen(socket_.fd(), 4);
  }
  ~HttpTracker() { CloseClient(); }

  bool bound() const { return socket_.bound(); }
  uint16_t port() const { return socket_.port(); }

  // The next request the client sends, reading while `tick` drives it.
  template <typename Tick>
  std::string ReadRequest(Tick tick, int milliseconds = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      tick();
      if (client_ < 0 && Readable(socket_.fd(), 1)) client_ = ::accept(socket_.fd(), nullptr, nullptr);
      if (client_ >= 0 && Readable(client_, 1)) {
        char chunk[4096];
        const ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        pending_.append(chunk, static_cast<size_t>(n));
      }
      const size_t end = pending_.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::string request = pending_.substr(0, end + 4);
        pending_.erase(0, end + 4);
        return request;
      }
    }
    return {};
  }

  void Reply(const Bytes& bytes) { ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void CloseClient() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }

 private:
  TestSocket socket_;
  int client_ = -1;
  std::string pending_;
};

// A UDP tracker on loopback: it answers whoever sent it the last datagram.
class UdpTracker {
 public:
  UdpTracker() : socket_(SOCK_DGRAM, Ip(127, 0, 0, 1), 0) {}

  uint16_t port() const { return socket_.port(); }

  template <typename Tick>
  Bytes Receive(Tick tick, int milliseconds = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      tick();
      if (!Readable(socket_.fd(), 1)) continue;
      char datagram[4096];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          ::recvfrom(socket_.fd(), datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      client_ = from;
      return Bytes(datagram, static_cast<size_t>(n));
    }
    return {};
  }

  // From the tracker's own socket, or from `other` (a stranger).
  void Send(const Bytes& datagram, const TestSocket* other = nullptr) {
    ::sendto(other ? other->fd() : socket_.fd(), datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&client_), sizeof client_);
  }

 private:
  TestSocket socket_;
  sockaddr_in client_{};
};

Bytes Be(uint64_t value, int bytes) {
  Bytes out(static_cast<size_t>(bytes), '\0');
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[static_cast<size_t>(i)] = static_cast<char>(value & 0xFF);
  return out;
}
// Transaction ids travel in this machine's byte order.
Bytes Native32(uint32_t value) { return Bytes(reinterpret_cast<const char*>(&value), 4); }
Bytes Text(const Bytes& s) { return std::to_string(s.size()) + ":" + s; }
Bytes Compact(uint32_t ip, uint16_t port) { return Bytes(reinterpret_cast<const char*>(&ip), 4) + Be(port, 2); }

RefPtr<TPeerId> TrackerSource(const std::string& url) {
  auto source = RefPtr<TPeerId>::Make("tracker://" + url);
  EXPECT_TRUE(source->ParseSource()) << url;
  return source;
}

class TrackerPeerTest : public ::testing::Test {
 protected:
  void Attach(const std::string& url) {
    source = TrackerSource(url);
    ASSERT_TRUE(peer->AttachSource(source.get()));
  }
  // Ticks until the object ends (a tick fails); false when it lives on.
  bool RunToEnd(int milliseconds = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!peer->DownloadTick()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  void TickFor(int milliseconds) {
    for (int i = 0; i < milliseconds; ++i) {
      EXPECT_TRUE(peer->DownloadTick());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  auto Ticker() {
    return [this] { peer->DownloadTick(); };
  }

  FakeTask task;
  RefPtr<TPeerObject> object = RefPtr<TPeerObject>::Adopt(MakeTrackerPeer(&task));
  TTrackerPeer* peer = static_cast<TTrackerPeer*>(object.get());
  RefPtr<TPeerId> source;
};

// The peer id differs per run; the rest of the request is fixed.
std::string WithoutPeerId(const std::string& request) {
  return std::regex_replace(request, std::regex("&peer_id=[^&]*"), "&peer_id=ID");
}

struct RequestCase {
  const char* url;
  uint32_t ip;
  uint16_t port;
  const char* request;
};

class TrackerRequestTest : public TrackerPeerTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(TrackerRequestTest, SendsTheAnnounceGet) {
  const RequestCase& c = GetParam();
  HttpTracker tracker(c.ip, c.port);
  if (!tracker.bound()) GTEST_SKIP() << "port " << c.port << " is taken";
  Attach(c.url);
  EXPECT_EQ(peer->linkState, TPeerObject::kReady);
  EXPECT_EQ(peer->phase, TTrackerPeer::kPhaseExchange);

  const std::string request = tracker.ReadRequest(Ticker());
  EXPECT_EQ(WithoutPeerId(request), c.request);
  // A fresh id of this engine: 00 01 'S' 's' and 16 digest bytes.
  EXPECT_NE(request.find("&peer_id=%00%01Ss"), std::string::npos) << request;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, TrackerRequestTest,
    ::testing::Values(
        RequestCase{"http://127.0.0.80/announce", Ip(127, 0, 0, 80), 80,
                    "GET /announce?info_hash=%00bcdefghijklmnopqrs%ff&peer_id=ID&port=6881&uploaded=5&downloaded=7"
                    "&left=1000&event=started&key=5127&compact=1&numwant=200 HTTP/1.0\r\n"
                    "User-Agent: BitTorrent/4.1.2\r\nHost: 127.0.0.80\r\n"
                    "Accept-Encoding: gzip\r\nConnection: close\r\n\r\n"},
        RequestCase{"http://127.0.0.69:6969/tr/announce.php?passkey=secret", Ip(127, 0, 0, 69), 6969,
                    "GET /tr/announce.php?info_hash=%00bcdefghijklmnopqrs%ff&peer_id=ID&port=6881&uploaded=5"
                    "&downloaded=7&left=1000&event=started&key=5127&compact=1&numwant=200 HTTP/1.0\r\n"
                    "User-Agent: BitTorrent/4.1.2\r\nHost: 127.0.0.69:6969\r\n"
                    "Accept-Encoding: gzip\r\nConnection: close\r\n\r\n"},
        RequestCase{"tcp://127.0.0.70:6969", Ip(127, 0, 0, 70), 6969,
                    "GET /?info_hash=%00bcdefghijklmnopqrs%ff&peer_id=ID&port=6881&uploaded=5&downloaded=7"
                    "&left=1000&event=started&key=5127&compact=1&numwant=200 HTTP/1.0\r\n"
                    "User-Agent: BitTorrent/4.1.2\r\nHost: 127.0.0.70:6969\r\n"
                    "Accept-Encoding: gzip\r\nConnection: close\r\n\r\n"}));

struct ReplyCase {
  const char* name;
  Bytes reply;
  bool closeAfter;
  std::vector<std::string> candidates;
  Bytes firstPeerId;  // 20 bytes
};

class TrackerReplyTest : public TrackerPeerTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(TrackerReplyTest, HandsOutPeersAndEnds) {
  const ReplyCase& c = GetParam();
  HttpTracker tracker(Ip(127, 0, 0, 1), 0);
  Attach("http://127.0.0.1:" + std::to_string(tracker.port()) + "/announce");
  ASSERT_FALSE(tracker.ReadRequest(Ticker()).empty());
  tracker.Reply(c.reply);
  if (c.closeAfter) tracker.CloseClient();

  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(peer->phase, TPeerObject::kPhaseNothingLeft);
  EXPECT_EQ(task.FoundUrls(), c.candidates);
  for (const auto& found : task.found) {
    EXPECT_EQ(found->kind, kBtNode);
    EXPECT_EQ(found->parsed, 1);
    EXPECT_EQ(found->allowance, 1);
  }
  if (!task.found.empty()) {
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(task.found[0]->peerId), 20), c.firstPeerId);
  }
}

Bytes WithLength(const Bytes& body, const Bytes& extraHeader = "") {
  return "HTTP/1.0 200 OK\r\n" + extraHeader + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const Bytes kCompactBody = "d8:intervali1800e5:peers" +
                           Text(Compact(Ip(10, 0, 0, 1), 6881) + Compact(Ip(10, 0, 0, 2), 51413) + "x") + "e";
const Bytes kDictionaryBody =
    "d5:peersl"
    "d2:ip" + Text("10.0.0.3") + "7:peer id" + Text("-XX0001-abcdefghijkl") + "4:porti6882ee"
    "d2:ip" + Text("10.0.0.4") + "4:porti6883ee"
    "d2:ip" + Text("10.0.0.5") + "4:porti0ee"
    "ee";

INSTANTIATE_TEST_SUITE_P(
    Replies, TrackerReplyTest,
    ::testing::Values(
        // The 13th byte is a partial entry.
        ReplyCase{"Compact", WithLength(kCompactBody), false,
                  {"btnode://10.0.0.1:6881", "btnode://10.0.0.2:51413"},
                  Bytes(14, '\0') + Compact(Ip(10, 0, 0, 1), 6881)},
        // No Content-Length: the body ends where the tracker closes.
        ReplyCase{"DictionaryEndedByClose", "HTTP/1.0 200 OK\r\n\r\n" + kDictionaryBody, true,
                  {"btnode://10.0.0.3:6882", "btnode://10.0.0.4:6883"},
                  "-XX0001-abcdefghijkl"},
        ReplyCase{"Gzip", WithLength("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03garbage"s, "Content-Encoding: gzip\r\n"),
                  false, {}, {}},
        ReplyCase{"NotBencoded", "HTTP/1.0 200 OK\r\n\r\n<html>Not Found</html>", true, {}, {}},
        ReplyCase{"NotHttp", "\x13" "BitTorrent protocol", true, {}, {}},
        ReplyCase{"Truncated", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nd5:peers6:\x0a\x00"s, true, {}, {}},
        ReplyCase{"Huge", "HTTP/1.0 200 OK\r\nContent-Length: 50000000\r\n\r\nd5:peers", false, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrackerPeerTest, RepeatsTheFirstTargetEveryElevenSeconds) {
  HttpTracker tracker(Ip(127, 0, 0, 1), 0);
  Attach("http://127.0.0.1:" + std::to_string(tracker.port()) + "/announce");
  const std::string first = tracker.ReadRequest(Ticker());
  ASSERT_FALSE(first.empty());

  // New counters would make another target; the stored one is kept.
  task.figures.uploaded = 999;
  task.figures.left = 0;
  task.clock.AdvanceSeconds(10);
  EXPECT_EQ(tracker.ReadRequest(Ticker(), 100), "");
  task.clock.AdvanceSeconds(1);
  EXPECT_EQ(tracker.ReadRequest(Ticker()), first);

  // A seeding task keeps its tracker objects.
  task.complete = true;
  EXPECT_FALSE(peer->IsDead());
}

TEST_F(TrackerPeerTest, AReusedObjectKeepsItsTargetOnlyForTheSameTracker) {
  HttpTracker tracker(Ip(127, 0, 0, 1), 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(tracker.port());
  Attach(base + "/one");
  const std::string first = tracker.ReadRequest(Ticker());
  ASSERT_NE(first.find("GET /one?"), std::string::npos);

  // The pool re-uses idle objects for any tracker of the task.
  object->Reset();
  tracker.CloseClient();
  Attach(base + "/two");
  const std::string other = tracker.ReadRequest(Ticker());
  EXPECT_NE(other.find("GET /two?"), std::string::npos) << other;

  object->Reset();
  tracker.CloseClient();
  Attach(base + "/two");
  task.clock.AdvanceSeconds(11);
  EXPECT_EQ(tracker.ReadRequest(Ticker()), other);
}

TEST_F(TrackerPeerTest, AnnouncesNothingWithoutMetadata) {
  task.figures.hasMetadata = false;
  HttpTracker tracker(Ip(127, 0, 0, 1), 0);
  Attach("http://127.0.0.1:" + std::to_string(tracker.port()) + "/announce");
  EXPECT_EQ(tracker.ReadRequest(Ticker(), 100), "");
  task.clock.AdvanceSeconds(11);
  EXPECT_EQ(tracker.ReadRequest(Ticker(), 100), "");
}

TEST_F(TrackerPeerTest, EndsWhenTheTrackerRefusesTheConnection) {
  uint16_t closedPort;
  {
    TestSocket probe(SOCK_STREAM, Ip(127, 0, 0, 1), 0);
    closedPort = probe.port();
  }
  Attach("http://127.0.0.1:" + std::to_string(closedPort) + "/announce");
  EXPECT_TRUE(RunToEnd());
  EXPECT_NE(peer->phase, TPeerObject::kPhaseNothingLeft);
  EXPECT_TRUE(task.found.empty());
}

Bytes ConnectReply(uint32_t transaction, const Bytes& connectionId) {
  return Be(0, 4) + Native32(transaction) + connectionId;
}

Bytes AnnounceReply(uint32_t transaction, const Bytes& entries) {
  return Be(1, 4) + Native32(transaction) + Be(1800, 4) + Be(3, 4) + Be(4, 4) + entries;
}

const Bytes kConnectionId = "\xC0\xFF\xEE\x01\x02\x03\x04\x05";

struct StrayCase {
  const char* name;
  Bytes datagram;
  bool fromStranger;
};

class UdpStrayTest : public TrackerPeerTest, public ::testing::WithParamInterface<StrayCase> {};

TEST_P(UdpStrayTest, LeavesTheExchangeWaiting) {
  const StrayCase& c = GetParam();
  UdpTracker tracker;
  TestSocket stranger(SOCK_DGRAM, Ip(127, 0, 0, 1), 0);
  Attach("udp://127.0.0.1:" + std::to_string(tracker.port()) + "/announce");
  ASSERT_EQ(tracker.Receive(Ticker()).size(), 16u);

  tracker.Send(c.datagram, c.fromStranger ? &stranger : nullptr);
  EXPECT_EQ(tracker.Receive(Ticker(), 100), "");
  EXPECT_EQ(peer->linkState, TPeerObject::kUnlinked);
  EXPECT_EQ(peer->phase, TTrackerPeer::kPhaseExchange);
  EXPECT_TRUE(task.found.empty());
}

const uint32_t kConnectTransaction = static_cast<uint32_t>(kStart);
const uint32_t kAnnounceTransaction = static_cast<uint32_t>(kStart + 1);

INSTANTIATE_TEST_SUITE_P(
    Datagrams, UdpStrayTest,
    ::testing::Values(
        StrayCase{"ConnectForAnotherTransaction", ConnectReply(kConnectTransaction + 7, kConnectionId), false},
        StrayCase{"AnnounceBeforeConnect",
                  AnnounceReply(kAnnounceTransaction, Compact(Ip(10, 0, 0, 9), 7000)), false},
        StrayCase{"ShortConnect", ConnectReply(kConnectTransaction, "\x01\x02\x03"), false},
        StrayCase{"ConnectFromAnotherAddress", ConnectReply(kConnectTransaction, kConnectionId), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrackerPeerTest, UdpExchangeHandsOutPeers) {
  UdpTracker tracker;
  Attach("udp://127.0.0.1:" + std::to_string(tracker.port()) + "/announce");
  const Bytes connect = tracker.Receive(Ticker());
  EXPECT_EQ(connect, Be(0x41727101980ull, 8) + Be(0, 4) + Native32(kConnectTransaction));

  tracker.Send(ConnectReply(kConnectTransaction, kConnectionId));
  const Bytes announce = tracker.Receive(Ticker());
  EXPECT_EQ(peer->linkState, TPeerObject::kReady);
  const Bytes expected = kConnectionId + Be(1, 4) + Native32(kAnnounceTransaction) +
                         Bytes(reinterpret_cast<const char*>(task.figures.infoHash.data()), 20) +
                         "-PF0001-abcdefghijkl" + Be(7, 8) + Be(1000, 8) + Be(5, 8) + Be(2, 4) +
                         Bytes("\x7f\x00\x00\x01", 4) + Be(0, 4) + Be(200, 4) + Be(6881, 2) + Bytes(6, '\0');
  EXPECT_EQ(announce, expected);

  // The tracker's error reply is not an answer; the exchange goes on.
  tracker.Send(Be(3, 4) + Native32(kAnnounceTransaction) + "try later");
  TickFor(20);
  EXPECT_EQ(peer->phase, TTrackerPeer::kPhaseExchange);

  tracker.Send(AnnounceReply(kAnnounceTransaction, Compact(Ip(10, 0, 0, 5), 7000) + Compact(0, 7001) +
                                                       Compact(Ip(10, 0, 0, 6), 0) +
                                                       Compact(Ip(10, 0, 0, 7), 7002)));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(peer->phase, TPeerObject::kPhaseNothingLeft);
  EXPECT_EQ(task.FoundUrls(), (std::vector<std::string>{"btnode://10.0.0.5:7000", "btnode://10.0.0.7:7002"}));
  for (const auto& found : task.found) {
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(found->peerId), 20), Bytes(20, '\0'));
    EXPECT_EQ(found->kind, kBtNode);
  }
}

}  // namespace
}  // namespace pf
