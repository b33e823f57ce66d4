#include "engine/peers/TBTPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/base/EngineSwitches.h"
#include "support/FakePeerHost.h"
#include "support/Ipv4.h"
#include "support/PieceMapFixture.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

using testing::FakePeerHost;
using testing::Ip;
using testing::MapSpec;
using testing::PieceMapFixture;

constexpr int kPiece = 32768;
// Four pieces; we hold 0 and 1 and lack 2 and 3.
const MapSpec kSpec{{4 * kPiece}, kPiece};

BtHash Id(const char (&text)[21]) {
  BtHash id{};
  std::memcpy(id.data(), text, 20);
  return id;
}

const BtHash kInfoHash = Id("\x01infohash-of-a-task\xfe");
const BtHash kOurId = Id("-PF0001-ourselves000");
const BtHash kRemoteId = Id("-XX0001-theremotepee");

std::string Text(const BtHandshakeBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
uint32_t ReadBe32(const std::string& s, size_t at) {
  return (uint32_t{static_cast<uint8_t>(s[at])} << 24) | (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
         (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) | uint32_t{static_cast<uint8_t>(s[at + 3])};
}

std::string Request(uint32_t index, uint32_t begin, uint32_t length) {
  std::string out;
  AppendBtRequest(out, index, begin, length);
  return out;
}
std::string Cancel(uint32_t index, uint32_t begin, uint32_t length) {
  std::string out;
  AppendBtCancel(out, index, begin, length);
  return out;
}
std::string Piece(uint32_t index, uint32_t begin, const std::string& block) {
  std::string out;
  AppendBtPiece(out, index, begin,
                std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(block.data()), block.size()));
  return out;
}
std::string Signal(BtMessageId id) {
  std::string out;
  AppendBtSignal(out, id);
  return out;
}
std::string Bitfield(std::vector<uint8_t> bits) {
  std::string out;
  AppendBtBitfield(out, bits);
  return out;
}
std::string Have(uint32_t index) { return Be32(5) + '\x04' + Be32(index); }

const std::string kInterestedAndUnchoke("\0\0\0\1\2\0\0\0\1\1", 10);

// A task that has its torrent: the piece map, our handshake, a shared
// request pool, and a fixed clock. It accepts every peer but those it is
// told are connected already.
class FakeTask : public FakePeerHost {
 public:
  const BtHandshakeBytes* OwnHandshake() override { return &handshake; }
  bool AcceptBtPeer(const TPeerObject&, const BtHash& peerId, uint32_t) override {
    return peerId != kOurId && peerId != alreadyConnected;
  }
  BitfieldView HeldBits() override { return map->have; }

  BtHandshakeBytes handshake = BuildBtHandshake(kInfoHash, kOurId);
  BtHash alreadyConnected = Id("-XX0001-connectedalr");
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = Ip(127, 0, 0, 1);
  a.sin_port = htons(port);
  return a;
}

// The other end of the connection: a plain non-blocking socket of the test.
class Remote {
 public:
  explicit Remote(int fd) : fd_(fd) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Remote() { ::close(fd_); }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;

  void Queue(const std::string& bytes) { out_ += bytes; }
  bool Sending() const { return sent_ < out_.size(); }
  // Moves bytes both ways as far as the socket takes them.
  void Pump() {
    while (Sending()) {
      const ssize_t n = ::send(fd_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent_ += static_cast<size_t>(n);
    }
    for (;;) {
      char chunk[65536];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n == 0) closed = true;
      if (n <= 0) break;
      in.append(chunk, static_cast<size_t>(n));
    }
  }

  std::string in;  // received, not yet taken by the test
  bool closed = false;

 private:
  int fd_;
  std::string out_;
  size_t sent_ = 0;
};

class BtPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fx.Map(kSpec);  // for the content
    // Pieces 0 and 1 are on disk; 2 and 3 are zeros.
    std::string file = fx.content;
    std::fill(file.begin() + 2 * kPiece, file.end(), '\0');
    std::ofstream(fx.Path(0), std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
    map = fx.Map(kSpec);
    ASSERT_TRUE(map->BuildPieces(nullptr));
    ASSERT_TRUE(map->IsHeld(0) && map->IsHeld(1) && !map->IsHeld(2) && !map->IsHeld(3));
    task.map = map.get();
    ASSERT_TRUE(listener.Listen(0, Ip(127, 0, 0, 1)));
  }
  // A fresh peer that takes a connection the remote opened to us.
  void ConnectIncoming(bool sawPreamble) {
    peer.reset();
    remote.reset();
    alive = true;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = Loopback(listener.localPort);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    remote = std::make_unique<Remote>(fd);
    std::unique_ptr<QTcpSocket> accepted;
    for (int i = 0; i < 200 && !accepted; ++i) {
      accepted = listener.Accept();
      if (!accepted) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(accepted);
    peer = std::make_unique<TBTPeer>(&task);
    ASSERT_TRUE(peer->AttachConnection(std::move(accepted), sawPreamble));
  }

  // An incoming peer past the handshake, with our opening messages read.
  void Handshaken() {
    ConnectIncoming(false);
    remote->Queue(Text(BuildBtHandshake(kInfoHash, kRemoteId)));
    ASSERT_EQ(Take(68 + 6 + 10).size(), 68u + 6 + 10);
    ASSERT_EQ(peer->linkState, TPeerObject::kReady);
  }

  void Step(bool upload = true) {
    if (alive) alive = peer->DownloadTick() && (!upload || peer->UploadTick());
    remote->Pump();
  }
  // Steps the peer while it lives, and moves the remote's bytes, until
  // `done` holds or five seconds pass.
  bool RunUntil(const std::function<bool()>& done, bool upload = true) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    remote->Pump();
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      if (alive) Step(upload);
      else remote->Pump();  // only the remote's side is left to watch
      if (!done()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return done();
  }
  bool Failed() { return RunUntil([&] { return !alive; }); }

  // The next `count` bytes the remote receives (fewer when none come).
  std::string Take(size_t count) {
    RunUntil([&] { return remote->in.size() >= count; });
    std::string bytes = remote->in.substr(0, count);
    remote->in.erase(0, bytes.size());
    return bytes;
  }
  // The next whole message the remote receives, length field included.
  std::string NextMessage() {
    RunUntil([&] { return remote->in.size() >= 4 && remote->in.size() >= 4 + ReadBe32(remote->in, 0); });
    if (remote->in.size() < 4) return {};
    return Take(4 + ReadBe32(remote->in, 0));
  }
  // The remote sends `bytes`; the peer reads them all without serving
  // anything meanwhile. Whether the peer is still alive.
  bool Deliver(const std::string& bytes) {
    const uint64_t target = peer->connection->bytesReceived + bytes.size();
    remote->Queue(bytes);
    RunUntil([&] { return peer->connection->bytesReceived >= target && !remote->Sending(); }, false);
    Step(false);  // what a read left for the next step
    return alive;
  }

  std::string Content(int64_t at, size_t length) const { return fx.content.substr(static_cast<size_t>(at), length); }

  PieceMapFixture fx{"btpeer"};
  RefPtr<TPieces> map;
  PieceMapFixture other{"btpeer-other"};  // for a map of another layout
  RefPtr<TPieces> big;
  FakeTask task;
  QTcpSocket listener;
  std::unique_ptr<Remote> remote;
  std::unique_ptr<TBTPeer> peer;
  bool alive = true;
};

TEST_F(BtPeerTest, IncomingHandshakeIsAnsweredWithBitfieldThenInterestAndUnchoke) {
  for (const bool sawPreamble : {false, true}) {
    SCOPED_TRACE(sawPreamble ? "after a preamble" : "plain");
    ConnectIncoming(sawPreamble);
    remote->Queue(Text(BuildBtHandshake(kInfoHash, kRemoteId)));
    if (sawPreamble) {
      RunUntil([&] { return remote->in.find("\r\n\r\n") != std::string::npos; });
      const std::string status = Take(remote->in.find("\r\n\r\n") + 4);
      EXPECT_EQ(status.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << status;
    }
    EXPECT_EQ(Take(68), Text(task.handshake));
    EXPECT_EQ(Take(6), Be32(2) + "\x05\xC0") << "pieces 0 and 1 held";
    EXPECT_EQ(Take(10), kInterestedAndUnchoke);
    EXPECT_EQ(peer->linkState, TPeerObject::kReady);
    EXPECT_TRUE(alive);
    EXPECT_EQ(std::memcmp(peer->peerSource->peerId, kRemoteId.data(), 20), 0);
  }
}

TEST_F(BtPeerTest, OutgoingConnectionSendsTheRequestPreambleWhenSwitchedOnAndTakesAStatusBlockBack) {
  testing::ScopedProcessState processState;
  struct Case {
    uint8_t preambleSwitch;
    std::string replyPrefix;
  };
  for (const Case& c : {Case{0, ""}, Case{1, "HTTP/1.0 200 OK\r\n\r\n"}}) {
    SCOPED_TRACE(c.preambleSwitch ? "preamble on" : "preamble off");
    Switches().httpPreamble = c.preambleSwitch;
    const int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = Loopback(0);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::getsockname(listenFd, reinterpret_cast<sockaddr*>(&at), &length), 0);
    ASSERT_EQ(::listen(listenFd, 1), 0);
    const uint16_t port = ntohs(at.sin_port);

    auto source = RefPtr<TPeerId>::Make("btnode://127.0.0.1:" + std::to_string(port));
    source->kind = kBtNode;
    source->ip = Ip(127, 0, 0, 1);
    source->port = port;
    source->parsed = 1;
    peer = std::make_unique<TBTPeer>(&task);
    alive = true;
    ASSERT_TRUE(peer->AttachSource(source.get()));
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
      alive = alive && peer->DownloadTick();
      pollfd p{listenFd, POLLIN, 0};
      if (::poll(&p, 1, 10) == 1) fd = ::accept(listenFd, nullptr, nullptr);
    }
    ::close(listenFd);
    ASSERT_GE(fd, 0);
    remote = std::make_unique<Remote>(fd);

    if (c.preambleSwitch) {
      RunUntil([&] { return remote->in.find("\r\n\r\n") != std::string::npos; });
      const std::string request = Take(remote->in.find("\r\n\r\n") + 4);
      EXPECT_EQ(request.rfind("GET / HTTP/1.0\r\n", 0), 0u) << request;
      const std::string host = "\r\nHost: 127.0.0.1:" + std::to_string(port % 6881) + "\r\n\r\n";
      EXPECT_TRUE(request.ends_with(host)) << request;
    }
    EXPECT_EQ(Take(68), Text(task.handshake));

    remote->Queue(c.replyPrefix + Text(BuildBtHandshake(kInfoHash, kRemoteId)));
    EXPECT_TRUE(RunUntil([&] { return peer->linkState == TPeerObject::kReady; }));
    EXPECT_EQ(Take(16), Be32(2) + "\x05\xC0" + kInterestedAndUnchoke);
    EXPECT_TRUE(alive);
  }
}

TEST_F(BtPeerTest, BadHandshakeEndsThePeerBeforeAnythingElseIsSent) {
  BtHandshakeBytes garbage{};
  garbage.fill('x');
  const struct {
    const char* what;
    BtHandshakeBytes handshake;
  } cases[] = {
      {"another info-hash", BuildBtHandshake(Id("\x02some-other-torrent\x03"), kRemoteId)},
      {"our own peer id", BuildBtHandshake(kInfoHash, kOurId)},
      {"not the protocol string", garbage},
      {"a peer the task has already", BuildBtHandshake(kInfoHash, task.alreadyConnected)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectIncoming(false);
    remote->Queue(Text(c.handshake));
    EXPECT_TRUE(Failed());
    EXPECT_NE(peer->linkState, TPeerObject::kReady);
    EXPECT_FALSE(peer->IsConnected());
    // Everything sent before the close has arrived once the remote sees it.
    EXPECT_TRUE(RunUntil([&] { return remote->closed; }));
    EXPECT_EQ(remote->in, Text(task.handshake)) << "no bitfield, no unchoke";
  }
}

TEST_F(BtPeerTest, RequestsAreServedFromHeldPiecesOnlyAndInOrder) {
  ASSERT_NO_FATAL_FAILURE(Handshaken());
  struct Block {
    uint32_t index, begin, length;
  };
  const struct {
    const char* what;
    std::string sent;
    bool weChoke;
    std::vector<Block> served;
  } cases[] = {
      {"a block of a held piece", Request(0, 16384, 16384), false, {{0, 16384, 16384}}},
      {"two blocks, in the order asked", Request(1, 0, 16384) + Request(0, 100, 900), false,
       {{1, 0, 16384}, {0, 100, 900}}},
      {"the same block twice", Request(1, 16384, 16384) + Request(1, 16384, 16384), false, {{1, 16384, 16384}}},
      {"a piece we lack", Request(2, 0, 16384), false, {}},
      {"past the piece end", Request(1, 16385, 16384), false, {}},
      {"past the piece count", Request(4, 0, 16384), false, {}},
      {"cancelled before it was served", Request(0, 0, 16384) + Cancel(0, 0, 16384), false, {}},
      {"while we choke the peer", Request(0, 0, 16384), true, {}},
  };
  // Served after everything asked before it: where its answer shows up
  // tells what else was sent.
  const Block marker{1, 5, 7};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    peer->flags.weChoke = c.weChoke;
    ASSERT_TRUE(Deliver(c.sent));
    peer->flags.weChoke = 0;
    ASSERT_TRUE(Deliver(Request(marker.index, marker.begin, marker.length)));
    std::vector<Block> expected = c.served;
    expected.push_back(marker);
    for (const Block& b : expected) {
      const int64_t at = int64_t{b.index} * kPiece + b.begin;
      EXPECT_EQ(NextMessage(), Piece(b.index, b.begin, Content(at, b.length)))
          << "block " << b.index << ":" << b.begin;
    }
    EXPECT_TRUE(peer->incoming.empty());
    EXPECT_TRUE(alive);
  }
}

TEST_F(BtPeerTest, MalformedMessagesEndThePeerOrCountAgainstIt) {
  const struct {
    const char* what;
    std::string sent;
    bool fatal;
  } cases[] = {
      {"a bitfield of two bytes for four pieces", Bitfield({0xF0, 0x00}), true},
      {"a length above 512 KB", Be32(524289) + '\x07' + Be32(0) + Be32(0), true},
      {"a have past the piece count", Have(4), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Handshaken());
    if (c.fatal) {
      remote->Queue(c.sent);
      EXPECT_TRUE(Failed());
    } else {
      EXPECT_TRUE(Deliver(c.sent + Have(1)));
      EXPECT_EQ(peer->errorCount, 1);
      EXPECT_EQ(peer->piecesCount, 1u) << "the valid have behind it still counts";
    }
  }
}

TEST_F(BtPeerTest, BlockNobodyAskedForIsDroppedWithoutTouchingTheMap) {
  ASSERT_NO_FATAL_FAILURE(Handshaken());
  ASSERT_TRUE(Deliver(Piece(2, 0, Content(2 * kPiece, 16384))));
  EXPECT_EQ(task.wasted, 16384);
  EXPECT_EQ(task.payload, 0);
  EXPECT_FALSE(map->IsHeld(2));
  EXPECT_TRUE(map->Piece(2)->Units().empty());
}

TEST_F(BtPeerTest, UnaskedBlocksBeyondTheAllowanceEndThePeer) {
  ASSERT_NO_FATAL_FAILURE(Handshaken());
  const std::string block(kMaxBtBlock, 'u');
  std::string flood;
  for (int64_t bytes = 0; bytes < TBTPeer::kMaxUnaskedBytes; bytes += kMaxBtBlock) flood += Piece(3, 0, block);
  EXPECT_TRUE(Deliver(flood)) << "up to the allowance the peer stays";
  EXPECT_EQ(task.wasted, TBTPeer::kMaxUnaskedBytes);
  remote->Queue(Piece(3, 0, "u"));
  EXPECT_TRUE(Failed()) << "one byte more ends it";
  EXPECT_FALSE(map->IsHeld(3));
}

TEST_F(BtPeerTest, PeerWithEverythingIsAskedForTheMissingPiecesAndGoodBlocksCompleteThem) {
  ASSERT_NO_FATAL_FAILURE(Handshaken());
  remote->Queue(Bitfield({0xF0}) + Signal(BtMessageId::kUnchoke));
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> asked;
  for (int i = 0; i < 4; ++i) {
    const std::string m = NextMessage();
    ASSERT_EQ(m.size(), 17u) << "message " << i;
    ASSERT_EQ(m[4], '\x06');
    asked.emplace_back(ReadBe32(m, 5), ReadBe32(m, 9), ReadBe32(m, 13));
  }
  std::sort(asked.begin(), asked.end());
  const std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> missing = {
      {2, 0, 16384}, {2, 16384, 16384}, {3, 0, 16384}, {3, 16384, 16384}};
  EXPECT_EQ(asked, missing);

  ASSERT_TRUE(Deliver(Piece(2, 0, Content(2 * kPiece, 16384)) + Piece(2, 16384, Content(2 * kPiece + 16384, 16384))));
  EXPECT_TRUE(map->IsHeld(2));
  EXPECT_EQ(task.payload, kPiece);
  std::ifstream file(fx.Path(0), std::ios::binary);
  std::string onDisk((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk.substr(2 * kPiece, kPiece), Content(2 * kPiece, kPiece));

  // The right length from the right peer, but not the right bytes.
  std::string wrong = Content(3 * kPiece + 16384, 16384);
  wrong[100] ^= 1;
  remote->Queue(Piece(3, 0, Content(3 * kPiece, 16384)) + Piece(3, 16384, wrong));
  EXPECT_TRUE(Failed()) << "a peer that sent a bad piece goes";
  EXPECT_FALSE(map->IsHeld(3));
}

// Message heads take room too: 2047 tiny requests ahead of a full block
// once made Serve write past the send space it had reserved.
TEST_F(BtPeerTest, ManySmallRequestsAheadOfAFullBlockAreServedWhole) {
  // One held piece long enough for a 128 KB block.
  PieceMapFixture& bigFx = other;
  const MapSpec bigSpec{{262144}, 262144};
  bigFx.Map(bigSpec);
  bigFx.WriteFile(0, bigSpec);
  big = bigFx.Map(bigSpec);
  ASSERT_TRUE(big->BuildPieces(nullptr));
  ASSERT_TRUE(big->IsHeld(0));
  task.map = big.get();
  ASSERT_NO_FATAL_FAILURE(Handshaken());

  // A queue full of 8-byte requests just short of one tick's share, then a
  // full block: the headers of the small ones come on top of both.
  std::string asked;
  const uint32_t small = TBTPeer::kMaxIncoming - 1;
  for (uint32_t i = 0; i < small; ++i) asked += Request(0, 8 * i, 8);
  asked += Request(0, 0, kMaxBtBlock);
  ASSERT_TRUE(Deliver(asked));
  ASSERT_EQ(peer->incoming.size(), TBTPeer::kMaxIncoming);
  for (uint32_t i = 0; i < small; ++i)
    ASSERT_EQ(NextMessage(), Piece(0, 8 * i, bigFx.content.substr(8 * i, 8))) << "block " << i;
  EXPECT_EQ(NextMessage(), Piece(0, 0, bigFx.content.substr(0, kMaxBtBlock)));
  EXPECT_TRUE(alive);
}

}  // namespace
}  // namespace pf
