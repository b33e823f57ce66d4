// The peer pool's candidate rules, connection making, ranking and dropping,
// with a stand-in peer class instead of network protocols.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <deque>

#include <chrono>
#include <thread>

#include "engine/content/TPieces.h"
#include "engine/task/IncomingConnections.h"
#include "engine/schedule/SegmentList.h"
#include "engine/task/TWorkWithPeers.h"
#include "platform/HostLookup.h"
#include "support/FakePeerHost.h"
#include "support/Ipv4.h"
#include "support/ManualClock.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

// A peer that "connects" without a network: attaching succeeds unless the
// test says otherwise.
class StubPeer : public TPeerObject {
 public:
  static inline bool failAttach = false;
  StubPeer(PeerHost* host, int kind) : TPeerObject(host, kind) {}
  bool Process() override { return true; }
  bool AttachSource(TPeerId* source) override {
    if (!TPeerObject::AttachSource(source) || failAttach) return false;
    linkState = kConnected;
    return true;
  }
};

TPeerObject* MakeStubHttp(PeerHost* host) { return new StubPeer(host, kHttp); }
TPeerObject* MakeStubBt(PeerHost* host) { return new StubPeer(host, kBtNode); }

class PoolUnderTest : public TWorkWithPeers, public PeerHost {
 public:
  void Run() override {}
  void Refresh() override {}
  PeerHost* Host() override { return this; }

  TPieces* HostPieces() override { return &map; }
  SegmentList& HostSegments() override { return *segmentList; }
  std::deque<BlockRequest>& SharedRequests() override { return shared; }
  bool InEndPhase() override { return false; }
  bool HostComplete() override { return complete; }
  void OnPayload(int, int64_t) override {}
  void OnWasted(int64_t) override {}
  void Retry(TPeerId& source, SourceRetry retry, int seconds) override { RetrySource(source, retry, seconds); }
  void AddFoundSource(RefPtr<TPeerId> source) override { AddCandidate(std::move(source)); }
  void SetStateCode(int) override {}
  void SetHttpStarted() override {}
  int64_t ReceiveAllowance() override { return 1 << 30; }

  RefPtr<TPeerId> Server(int allowance, int64_t resourceSize, uint8_t lastIpByte = 1) {
    auto c = RefPtr<TPeerId>::Make("http://10.0.0." + std::to_string(lastIpByte) + "/f");
    c->parsed = 1;
    c->kind = kHttp;
    c->ip = 0x0000000Au | (uint32_t{lastIpByte} << 24);
    c->port = 80;
    c->allowance = allowance;
    c->resourceSize = resourceSize;
    candidates.push_back(c);
    return c;
  }
  // A live connection of `kind` with a window speed.
  TPeerObject& Connection(int kind, int speed, RefPtr<TPeerId> source = {}) {
    auto peer = RefPtr<TPeerObject>::Adopt(new StubPeer(this, kind));
    peer->speed = peer->tick.receiveRate = speed;
    peer->serial = static_cast<int>(connections.size()) + 1;
    if (source) peer->peerSource = source;
    connections.push_back(peer);
    return *peer;
  }

  using TWorkWithPeers::BackOff;
  using TWorkWithPeers::ResolveCandidates;
  using TWorkWithPeers::sources;
  using TWorkWithPeers::candidates;
  using TWorkWithPeers::ipFilter;
  using TWorkWithPeers::connectionBudget;
  using TWorkWithPeers::config;
  using TWorkWithPeers::connections;
  using TWorkWithPeers::idlePeers;
  using TWorkWithPeers::ReleaseConnection;
  using TWorkWithPeers::live;

  TPieces map;
  testing::NoPieces view;
  std::unique_ptr<SegmentList> segmentList = std::make_unique<SegmentList>(view);
  std::deque<BlockRequest> shared;
  bool complete = false;
  testing::ManualClock clock{{.monotonic = 100000, .wall = 100000}};
};

class PeerPool : public ::testing::Test {
 protected:
  void SetUp() override {
    TWorkWithPeers::RegisterPeerClass(kHttp, &MakeStubHttp);
    // Trackers would announce for real; the pool's tests use stubs.
    TWorkWithPeers::RegisterPeerClass(kTracker, nullptr);
    StubPeer::failAttach = false;
  }
  // Puts the engine's peer classes back.
  testing::ScopedProcessState processState;
};

TEST(CandidateRules, MayConnectNowCountsDownAndAppliesEachKindsLimits) {
  struct Case {
    const char* what;
    uint8_t kind, parsed;
    int open, allowance;
    int64_t size;
    int score, sequence, taskSpeed;
    int64_t lastConnect;
    bool expected;
    int sequenceAfter;
  };
  const int64_t now = 5000;
  const Case cases[] = {
      {"never parsed", 2, 0, 0, 1, 0, 0, 0, 100, 0, false, 0},
      {"server at its allowance", 2, 1, 2, 2, 100, 0, 0, 100, 0, false, 0},
      {"second connection before the size is known", 2, 1, 1, 3, 0, 0, 0, 100, 0, false, 0},
      {"server free to go", 2, 1, 0, 1, 0, 0, 0, 100, 0, true, 0},
      {"countdown of a moving task", 2, 1, 0, 1, 0, 0, 3, 100, 0, false, 2},
      {"countdown ends this pass", 2, 1, 0, 1, 0, 0, 1, 100, 0, true, 0},
      {"idle task forgives a short wait", 2, 1, 0, 1, 0, 0, 10, 0, 0, true, 0},
      {"idle task shortens a long wait", 2, 1, 0, 1, 0, 0, 60, 0, 0, false, 5},
      {"score above 15 goes at once", 2, 1, 0, 1, 0, 16, 500, 100, 0, true, 0},
      {"score above 5 divides by 10", 2, 1, 0, 1, 0, 6, 50, 100, 0, false, 4},
      {"score above 5 clears a short wait", 2, 1, 0, 1, 0, 6, 9, 100, 0, true, 0},
      {"score above 0 divides by 5", 2, 1, 0, 1, 0, 1, 50, 100, 0, false, 9},
      {"score counts only with no connection open", 2, 1, 1, 3, 100, 16, 3, 100, 0, false, 2},
      {"peer already connected", 1, 1, 1, 1, 0, 0, 0, 100, 0, false, 0},
      {"peer free", 1, 1, 0, 1, 0, 0, 0, 100, 0, true, 0},
      {"tracker within ten minutes", 8, 1, 0, 1, 0, 0, 0, 100, now - 599, false, 0},
      {"tracker after ten minutes", 8, 1, 0, 1, 0, 0, 0, 100, now - 600, true, 0},
      {"tracker already announcing", 8, 1, 1, 1, 0, 0, 0, 100, 0, false, 0},
  };
  for (const Case& c : cases) {
    TPeerId s;
    s.kind = c.kind;
    s.parsed = c.parsed;
    s.openConnections = c.open;
    s.allowance = c.allowance;
    s.resourceSize = c.size;
    s.score = c.score;
    s.sequence = c.sequence;
    s.lastConnect = c.lastConnect;
    EXPECT_EQ(s.MayConnectNow(c.taskSpeed, now), c.expected) << c.what;
    EXPECT_EQ(s.sequence, c.sequenceAfter) << c.what;
  }
}

TEST(CandidateRules, MoreConnectionsAndRedirects) {
  TPeerId s;
  for (uint8_t kind : {1, 8}) {
    s.kind = kind;
    s.resourceSize = 100;
    s.redirected = 1;
    EXPECT_FALSE(s.WantsMoreConnections());
    EXPECT_FALSE(s.IsRedirected()) << "only servers are redirected";
  }
  s.kind = kHttp;
  s.resourceSize = 0;
  EXPECT_FALSE(s.WantsMoreConnections());
  s.resourceSize = 1;
  EXPECT_TRUE(s.WantsMoreConnections());
  EXPECT_TRUE(s.IsRedirected());
}

TEST_F(PeerPool, OneConnectionPerPassForASingleAllowanceAndFailuresForEmptyAttempts) {
  PoolUnderTest pool;
  pool.SetConnectionLimits(3, 0);
  auto server = pool.Server(1, 0);
  pool.ConnectServers();
  EXPECT_EQ(pool.connections.size(), 1u);
  EXPECT_EQ(server->openConnections, 1);
  EXPECT_EQ(server->lastConnect, pool.clock.WallSeconds());
  pool.ConnectServers();  // at its allowance: not a failure
  EXPECT_EQ(pool.connections.size(), 1u);
  EXPECT_EQ(server->failures, 0);

  auto refusing = pool.Server(1, 0, 2);
  StubPeer::failAttach = true;
  pool.ConnectServers();
  EXPECT_EQ(refusing->failures, 1);
  EXPECT_EQ(refusing->openConnections, 0);
  EXPECT_EQ(pool.connections.size(), 1u);
}

TEST_F(PeerPool, ServerMinimumOpensSeveralConnectionsWithinTheBudget) {
  struct Case {
    int serverLimit, minConnections;
    int64_t size;
    size_t expected;
  };
  // Without a known size a server gets one connection; the pass never
  // opens more than the limit leaves room for.
  const Case cases[] = {{10, 3, 1000, 3}, {10, 3, 0, 1}, {2, 3, 1000, 2}, {10, 1, 1000, 1}};
  for (const Case& c : cases) {
    PoolUnderTest pool;
    pool.SetConnectionLimits(c.serverLimit, 0);
    pool.config.serverMinConnections = c.minConnections;
    auto server = pool.Server(1, c.size);
    pool.ConnectServers();
    EXPECT_EQ(pool.connections.size(), c.expected) << c.serverLimit << "/" << c.minConnections << "/" << c.size;
    EXPECT_EQ(server->openConnections, static_cast<int>(c.expected));
  }
}

TEST_F(PeerPool, ServersWaitOnceTheTaskIsComplete) {
  PoolUnderTest pool;
  pool.SetConnectionLimits(3, 0);
  pool.Server(1, 0);
  pool.complete = true;
  pool.ConnectServers();
  EXPECT_TRUE(pool.connections.empty());
}

TEST_F(PeerPool, TenEmptyServerPassesTurnToTheMirrors) {
  PoolUnderTest pool;
  pool.SetConnectionLimits(3, 0);
  pool.AddMirrors("http://10.0.0.9/f", "mirror.example");
  for (int pass = 1; pass < 10; ++pass) {
    pool.ConnectServers();
    ASSERT_TRUE(pool.connections.empty()) << "pass " << pass;
  }
  pool.ConnectServers();
  ASSERT_EQ(pool.connections.size(), 1u);
  const TPeerId& mirror = *pool.connections[0]->peerSource;
  EXPECT_EQ(mirror.url, "http://10.0.0.9/f");
  EXPECT_EQ(mirror.group, kOwnSourceGroup);
  EXPECT_EQ(mirror.DetailsIfAny()->hostName, "mirror.example");
}

TEST_F(PeerPool, PeerObjectsComeFromRegisteredClassesAndAreReused) {
  PoolUnderTest pool;
  TWorkWithPeers::RegisterPeerClass(kBtNode, nullptr);
  EXPECT_FALSE(pool.GetPeerObject(kBtNode));
  EXPECT_FALSE(pool.GetPeerObject(kTracker));
  EXPECT_FALSE(pool.GetPeerObject(kBtNode | kHttp)) << "a mask is no kind";
  TWorkWithPeers::RegisterPeerClass(kBtNode, &MakeStubBt);
  auto bt = pool.GetPeerObject(kBtNode);
  ASSERT_TRUE(bt);
  EXPECT_EQ(bt->kind, kBtNode);

  TPeerObject& http = pool.Connection(kHttp, 0);
  TPeerObject* released = &http;
  pool.ReleaseConnection(http);
  EXPECT_TRUE(pool.connections.empty());
  EXPECT_NE(pool.GetPeerObject(kBtNode).get(), released) << "re-use keeps to the kind";
  EXPECT_EQ(pool.GetPeerObject(kHttp).get(), released);

  // An idle list grown past the budget is emptied before the next one joins.
  pool.connectionBudget = 2;
  for (int i = 0; i < 15; ++i) pool.ReleaseConnection(pool.Connection(kHttp, 0));
  EXPECT_EQ(pool.idlePeers.size(), 15u);
  pool.ReleaseConnection(pool.Connection(kHttp, 0));
  EXPECT_EQ(pool.idlePeers.size(), 1u);
}

TEST_F(PeerPool, PeerPassConnectsBitTorrentCandidatesOnlyWithAClassAndTheSwitchOn) {
  PoolUnderTest pool;
  pool.SetConnectionLimits(3, 5);
  auto peer = RefPtr<TPeerId>::Make();
  peer->parsed = 1;
  peer->kind = kBtNode;
  peer->ip = 0x0200000Au;
  peer->port = 6881;
  pool.candidates.push_back(peer);
  auto server = pool.Server(1, 0);
  TWorkWithPeers::RegisterPeerClass(kBtNode, nullptr);
  pool.ConnectPeers();
  EXPECT_TRUE(pool.connections.empty());
  EXPECT_EQ(peer->failures, 0);

  TWorkWithPeers::RegisterPeerClass(kBtNode, &MakeStubBt);
  pool.ConnectPeers();
  ASSERT_EQ(pool.connections.size(), 1u) << "the server is left to the server pass";
  EXPECT_EQ(pool.connections[0]->peerSource.get(), peer.get());
  pool.ConnectPeers();
  EXPECT_EQ(pool.connections.size(), 1u) << "one connection per peer";
}

TEST_F(PeerPool, AddressesTheFilterBlocksAreNeitherCalledNorAccepted) {
  PoolUnderTest pool;
  pool.SetConnectionLimits(3, 5);
  pool.ipFilter.AddRange(0x0A000002u, 0x0A000002u);  // 10.0.0.2
  auto peer = RefPtr<TPeerId>::Make();
  peer->parsed = 1;
  peer->kind = kBtNode;
  peer->ip = 0x0200000Au;  // 10.0.0.2, network order
  peer->port = 6881;
  pool.candidates.push_back(peer);
  pool.ConnectPeers();
  EXPECT_TRUE(pool.connections.empty());
  auto incoming = std::make_unique<QTcpSocket>();
  incoming->remoteIp = 0x0200000Au;
  EXPECT_FALSE(pool.AcceptIncoming(std::move(incoming), false));
  EXPECT_TRUE(pool.connections.empty());
}

TEST_F(PeerPool, DroppingFollowsTheSpeedOrderAndSparesRedirectedServers) {
  PoolUnderTest pool;
  auto fast = pool.Server(4, 1000, 1), redirected = pool.Server(4, 1000, 2), slow = pool.Server(4, 1000, 3);
  redirected->redirected = 1;
  for (auto* s : {fast.get(), redirected.get(), slow.get()}) s->group = kOwnSourceGroup;
  pool.Connection(kHttp, 10000, slow);
  pool.Connection(kHttp, 900000, fast);
  pool.Connection(kHttp, 10, redirected);
  pool.Connection(kBtNode, 0);

  EXPECT_EQ(pool.SumPeerSpeeds(kServerKinds), 910010);
  EXPECT_EQ(pool.SumPeerSpeeds(kBtNode), 0);

  // Last three in rank order: slow, redirected, the peer.
  pool.DropConnections(kServerKinds, 3, true);
  ASSERT_EQ(pool.connections.size(), 3u);
  EXPECT_EQ(pool.connections[0]->peerSource.get(), fast.get());
  EXPECT_EQ(slow->group, kOwnSourceGroup - 1);
  EXPECT_EQ(redirected->group, kOwnSourceGroup);

  pool.DropConnections(kBtNode, 5, false);
  EXPECT_EQ(pool.CountConnections(kBtNode), 0);
  EXPECT_EQ(pool.connections.size(), 2u);
}

TEST_F(PeerPool, SlowConnectionsAreThoseBelowAFifthOfTheirShare) {
  struct Case {
    int taskSpeed;
    std::vector<int> speeds;  // fastest first
    int n;
    size_t kept;
  };
  const Case cases[] = {
      {300000, {200000, 90000, 10000}, 3, 2},   // share 20000: the last goes
      {300000, {200000, 90000, 10000}, 1, 2},   // only the last n are looked at
      {300000, {200000, 90000, 30000}, 3, 3},   // all above their share
      {300000, {200000, 90000, 0}, 3, 2},       // no speed at all
      {300000, {200000, 15000, 10000}, 1, 2},   // within the last one only
  };
  for (const Case& c : cases) {
    PoolUnderTest pool;
    pool.live.currentSpeed = c.taskSpeed;
    std::vector<RefPtr<TPeerId>> sources;
    for (size_t i = 0; i < c.speeds.size(); ++i) {
      sources.push_back(pool.Server(4, 1000, static_cast<uint8_t>(i + 1)));
      sources.back()->group = kSlowDropFloorGroup;
      pool.Connection(kHttp, c.speeds[i], sources.back());
    }
    pool.DropSlowConnections(kServerKinds, c.n, true);
    EXPECT_EQ(pool.connections.size(), c.kept) << c.speeds.back() << " n=" << c.n;
    for (auto& s : sources) EXPECT_EQ(s->group, kSlowDropFloorGroup) << "never below the floor";
  }
}

TEST_F(PeerPool, IncomingHandshakeForTheTaskIsAdoptedWithinThePeerBudget) {
  TWorkWithPeers::RegisterPeerClass(kBtNode, &MakeStubBt);
  IncomingConnections::Clear();
  PoolUnderTest pool;
  BtHash hash;
  hash.fill(0x42);
  ASSERT_TRUE(pool.RegisterInfoHash(hash));
  EXPECT_TRUE(TWorkWithPeers::IsInfoHashServed(hash));

  uint32_t loopback;
  const uint8_t b[4] = {127, 0, 0, 1};
  std::memcpy(&loopback, b, 4);
  QTcpSocket listener;
  ASSERT_TRUE(listener.Listen(0, loopback));
  auto connectOne = [&](QTcpSocket& client) {
    EXPECT_TRUE(client.Connect(loopback, listener.localPort, true));
    std::unique_ptr<QTcpSocket> accepted;
    for (int i = 0; i < 100 && !accepted; ++i) {
      accepted = listener.Accept();
      if (!accepted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto handshake = BuildBtHandshake(hash, hash);
    client.Send(handshake.data(), static_cast<int>(handshake.size()));
    return accepted;
  };

  QTcpSocket first;
  IncomingConnections::AddPending(connectOne(first), TickMs(), loopback);
  int adopted = 0;
  for (int i = 0; i < 100 && adopted == 0; ++i) {
    adopted = pool.TakeIncomingConnections();
    if (adopted == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(adopted, 1);
  ASSERT_EQ(pool.connections.size(), 1u);
  EXPECT_EQ(pool.connections[0]->kind, kBtNode);
  EXPECT_TRUE(pool.connections[0]->acceptedIncoming);
  EXPECT_EQ(pool.connections[0]->linkState, TPeerObject::kConnected);

  // Full: at least budget + 4 connections, of which at least budget are peers.
  pool.connectionBudget = 1;
  for (int i = 0; i < 4; ++i) pool.Connection(kHttp, 0);
  QTcpSocket second;
  EXPECT_FALSE(pool.AcceptIncoming(connectOne(second), false));
  EXPECT_EQ(pool.connections.size(), 5u);

  pool.UnregisterInfoHash();
  EXPECT_FALSE(TWorkWithPeers::IsInfoHashServed(hash));
}

TEST_F(PeerPool, CandidatesThatAreDuplicatesOrOurselvesAreRefused) {
  PoolUnderTest pool;
  auto make = [](const std::string& url, uint8_t kind, uint32_t ip, int port) {
    auto c = RefPtr<TPeerId>::Make(url);
    c->kind = kind;
    c->ip = ip;
    c->port = port;
    c->group = kind == kHttp ? kOwnSourceGroup : kDefaultSourceGroup;
    return c;
  };
  const uint32_t a = htonl(0x0A000001), b = htonl(0x0A000002);
  ASSERT_TRUE(pool.AddCandidate(make("http://10.0.0.1/f", kHttp, a, 80)));
  // Another text on the same server is the same mirror.
  EXPECT_FALSE(pool.AddCandidate(make("http://10.0.0.1/other", kHttp, a, 80)));
  // ... unless the first one redirected there.
  pool.candidates.front()->redirected = 1;
  EXPECT_TRUE(pool.AddCandidate(make("http://10.0.0.1/moved", kHttp, a, 80)));

  // A peer at our loopback address is ourselves; a peer on a mirror's machine is not the mirror.
  EXPECT_FALSE(pool.AddCandidate(make("", kBtNode, htonl(INADDR_LOOPBACK), 6881)));
  auto peer = make("", kBtNode, a, 6881);
  peer->peerId[19] = 7;
  ASSERT_TRUE(pool.AddCandidate(peer));
  EXPECT_EQ(peer->group, kBitTorrentGroup);
  EXPECT_EQ(std::memcmp(peer->peerId, "\x00\x01Ss", 4), 0);
  // The same peer again: refused; its id is taken only when trusted.
  auto again = make("", kBtNode, a, 6881);
  again->peerId[19] = 9;
  EXPECT_FALSE(pool.AddCandidate(again));
  EXPECT_EQ(peer->peerId[19], 7);
  EXPECT_FALSE(pool.AddCandidate(again, true));
  EXPECT_EQ(peer->peerId[19], 9);
  // Another port of the same machine is another peer.
  EXPECT_TRUE(pool.AddCandidate(make("", kBtNode, b, 6882)));
}

TEST_F(PeerPool, FailedConnectionsHoldTheirSourceBack) {
  PoolUnderTest pool;
  auto server = pool.Server(4, 1000, 1);
  server->openConnections = 2;
  auto peer = RefPtr<TPeerId>::Make("");
  peer->kind = kBtNode;
  peer->ip = htonl(0x0A000009);
  peer->port = 6881;
  peer->failures = 2;
  pool.candidates.push_back(peer);
  auto& connection = pool.Connection(kBtNode, 0, peer);

  // A server still busy on another connection only waits two passes.
  pool.BackOff(server.get(), nullptr, 1);
  EXPECT_EQ(server->sequence, 2);
  EXPECT_EQ(server->failures, 0);
  // A peer that never got ready: the failure rule, then the peer penalty,
  // and it goes to the back of the line.
  pool.BackOff(peer.get(), &connection, 1);
  EXPECT_EQ(peer->failures, 3);
  EXPECT_EQ(peer->sequence, 3 * 1 + 1 + (1 * 1 + 5));
  EXPECT_EQ(pool.candidates.back().get(), peer.get());
  // One that shook hands before is forgiven the failure rule once.
  pool.candidates.NoteHandshake(peer->ip);
  connection.linkState = TPeerObject::kReady;
  const int before = peer->sequence;
  pool.BackOff(peer.get(), &connection, 1);
  EXPECT_EQ(peer->sequence, before + 1);
  // Only once: the next failure (the fourth before it) counts in full.
  pool.BackOff(peer.get(), &connection, 1);
  EXPECT_EQ(peer->sequence, before + 1 + 3 * 3 + 1);
  // A peer that came to us is never held back.
  const int held = peer->sequence;
  connection.acceptedIncoming = 1;
  pool.BackOff(peer.get(), &connection, 6);
  EXPECT_EQ(peer->sequence, held);
}

int AllowedWith(int peerBudget, int connections) {
  PoolUnderTest pool;
  pool.connectionBudget = peerBudget;
  for (int i = 0; i < connections; ++i) pool.Connection(kBtNode, 0);
  return pool.AttemptsAllowed();
}

TEST(ConnectAttempts, BoundedByThePeerBudgetAndTheStepSize) {
  EXPECT_EQ(AllowedWith(52, 0), 16);
  EXPECT_EQ(AllowedWith(52, 45), 7);
  EXPECT_EQ(AllowedWith(52, 60), 0);
  EXPECT_EQ(AllowedWith(200, 0), IncomingConnections::Reachable() ? 16 : 32);
}

TEST(PeerRanking, ReadyFirstThenRateInTwoKilobyteStepsThenSerial) {
  struct Side {
    int linkState, rate, serial;
  };
  struct Case {
    Side a, b;
    bool aFirst;
  };
  const Case cases[] = {
      {{2, 0, 5}, {1, 900000, 1}, true},
      {{2, 4096, 5}, {2, 2048, 1}, true},
      {{2, 2049, 5}, {2, 3000, 1}, false},  // same 2 KB step: serial decides
      {{2, 2049, 1}, {2, 3000, 5}, true},
  };
  for (const Case& c : cases) {
    StubPeer a(nullptr, 2), b(nullptr, 2);
    a.linkState = c.a.linkState;
    a.tick.receiveRate = c.a.rate;
    a.serial = c.a.serial;
    b.linkState = c.b.linkState;
    b.tick.receiveRate = c.b.rate;
    b.serial = c.b.serial;
    EXPECT_EQ(TPeerObject::RanksBefore(a, b, false, 100), c.aFirst) << c.a.rate << " vs " << c.b.rate;
    EXPECT_EQ(TPeerObject::RanksBefore(b, a, false, 100), !c.aFirst);
  }
}

// A name whose lookup fails leaves the candidates without holding up the
// pass, and its line of the source list is fed again at the next feed.
std::atomic<int> flakyLookups{0};
platform::HostLookupResult FlakyLookup(const std::string& host) {
  platform::HostLookupResult result;
  if (host != "flaky.test" || flakyLookups++ == 0) {
    result.error = platform::kHostNotFound;
  } else {
    result.addresses.push_back(testing::Ip(10, 0, 0, 5));
  }
  return result;
}

TEST_F(PeerPool, ANameThatFailedIsLookedUpAgainAtTheNextFeed) {
  PoolUnderTest pool;
  platform::SetHostLookup(&FlakyLookup);
  flakyLookups = 0;
  pool.sources = {"http://flaky.test/f"};
  const auto pollUntil = [&](auto done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      pool.ResolveCandidates();
    }
    return done();
  };
  pool.FeedSources();  // starts the lookup; the pass does not wait for it
  ASSERT_TRUE(pollUntil([&] { return pool.CandidateCount() == 0; })) << "the failed name leaves";
  EXPECT_EQ(flakyLookups.load(), 1);
  pool.FeedSources();
  ASSERT_TRUE(pollUntil([&] { return pool.candidates.size() == 1; }));
  EXPECT_EQ(pool.candidates[0]->ip, testing::Ip(10, 0, 0, 5));
  pool.FeedSources();  // taken now: not fed twice
  EXPECT_EQ(flakyLookups.load(), 2);
}

}  // namespace
}  // namespace pf
