// Matching incoming connections to tasks by the info-hash of their first
// bytes, and the process-wide list of served info-hashes.
#include "engine/task/IncomingConnections.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace pf {
namespace {

BtHash Hash(uint8_t fill) {
  BtHash h;
  h.fill(fill);
  return h;
}

std::vector<uint8_t> Handshake(const BtHash& infoHash) {
  const auto bytes = BuildBtHandshake(infoHash, Hash(0x77));
  return {bytes.begin(), bytes.end()};
}

uint32_t Loopback() {
  const uint8_t b[4] = {127, 0, 0, 1};
  uint32_t ip;
  std::memcpy(&ip, b, 4);
  return ip;
}

// The next connection the listener gets, waiting up to a second for it.
std::unique_ptr<QTcpSocket> AcceptWithin(QTcpSocket& listener) {
  std::unique_ptr<QTcpSocket> accepted;
  for (int i = 0; i < 100 && !accepted; ++i) {
    accepted = listener.Accept();
    if (!accepted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return accepted;
}

class Incoming : public ::testing::Test {
 protected:
  void SetUp() override {
    ServedInfoHashes::Clear();
    IncomingConnections::Clear();
  }
  void TearDown() override {
    ServedInfoHashes::Clear();
    IncomingConnections::Clear();
  }
};

TEST_F(Incoming, ServedListKeepsOneHashPerTaskAndNoZeroHash) {
  int taskA = 0, taskB = 0;
  EXPECT_FALSE(ServedInfoHashes::Register(Hash(0), &taskA));
  EXPECT_TRUE(ServedInfoHashes::Register(Hash(1), &taskA));
  EXPECT_FALSE(ServedInfoHashes::Register(Hash(2), &taskA));
  EXPECT_TRUE(ServedInfoHashes::Register(Hash(2), &taskB));
  EXPECT_TRUE(ServedInfoHashes::IsServed(Hash(1)));
  EXPECT_TRUE(ServedInfoHashes::IsServed(Hash(2)));
  ServedInfoHashes::Unregister(&taskA);
  EXPECT_FALSE(ServedInfoHashes::IsServed(Hash(1)));
  EXPECT_TRUE(ServedInfoHashes::IsServed(Hash(2)));
}

TEST_F(Incoming, FirstBytesDecideBetweenTakingWaitingAndDropping) {
  const BtHash mine = Hash(1), other = Hash(2), nobody = Hash(3);
  int otherTask = 0;
  ServedInfoHashes::Register(other, &otherTask);
  std::vector<uint8_t> garbage(68, 'x');
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t length;
    uint32_t ageMs;
    PendingVerdict expected;
  };
  const Case cases[] = {
      {"handshake for this task", Handshake(mine), 48, 0, PendingVerdict::kAccept},
      {"late handshake for this task", Handshake(mine), 68, 9000, PendingVerdict::kAccept},
      {"too few bytes yet", Handshake(mine), 20, 2900, PendingVerdict::kWait},
      {"too few bytes for 3 s", Handshake(mine), 20, 3000, PendingVerdict::kDrop},
      {"hash nobody serves", Handshake(nobody), 68, 0, PendingVerdict::kDrop},
      {"another task's hash", Handshake(other), 68, 4900, PendingVerdict::kWait},
      {"another task's hash, short, after 3 s", Handshake(other), 48, 3000, PendingVerdict::kDrop},
      {"another task's hash after 5 s", Handshake(other), 68, 5000, PendingVerdict::kDrop},
      {"not BitTorrent", garbage, 68, 0, PendingVerdict::kDrop},
  };
  for (const Case& c : cases) {
    std::span<const uint8_t> bytes(c.bytes.data(), c.length);
    EXPECT_EQ(JudgePending(bytes, &mine, c.ageMs, c.length), c.expected) << c.what;
  }
  EXPECT_EQ(JudgePending(Handshake(mine), nullptr, 0, 68), PendingVerdict::kDrop) << "a task without a hash";
}

TEST_F(Incoming, SweepHandsOverMatchedConnectionsWithTheirPreambleStripped) {
  const BtHash mine = Hash(1);
  int self = 0;
  ServedInfoHashes::Register(mine, &self);
  QTcpSocket listener;
  ASSERT_TRUE(listener.Listen(0, Loopback()));

  const std::string preamble = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<uint8_t> withPreamble(preamble.begin(), preamble.end());
  const auto ours = Handshake(mine);
  withPreamble.insert(withPreamble.end(), ours.begin(), ours.end());
  const std::vector<std::vector<uint8_t>> sends = {withPreamble, Handshake(Hash(9))};

  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (const auto& bytes : sends) {
    auto client = std::make_unique<QTcpSocket>();
    ASSERT_TRUE(client->Connect(Loopback(), listener.localPort, true));
    std::unique_ptr<QTcpSocket> accepted = AcceptWithin(listener);
    ASSERT_TRUE(accepted);
    ASSERT_EQ(client->Send(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    IncomingConnections::AddPending(std::move(accepted), 0, Loopback());
    clients.push_back(std::move(client));
  }
  EXPECT_FALSE(IncomingConnections::Reachable()) << "loopback is the listener's own network";

  std::vector<IncomingConnections::Matched> matched;
  for (int i = 0; i < 100 && matched.empty(); ++i) {
    matched = IncomingConnections::Sweep(&mine, 100);
    if (matched.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(matched.size(), 1u);
  EXPECT_TRUE(matched[0].sawPreamble);
  const QTcpSocket& taken = *matched[0].connection;
  ASSERT_GE(taken.ReceivedCount(), 68);
  EXPECT_EQ(std::memcmp(taken.ReceivedData(), ours.data(), 68), 0) << "the handshake is at the front";
  EXPECT_EQ(IncomingConnections::PendingCount(), 0u) << "the unserved hash was dropped";
}

TEST_F(Incoming, OldestPendingConnectionsGoBeyondTheLimit) {
  QTcpSocket listener;
  ASSERT_TRUE(listener.Listen(0, Loopback()));
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (size_t i = 0; i < IncomingConnections::kMaxPending + 3; ++i) {
    auto client = std::make_unique<QTcpSocket>();
    ASSERT_TRUE(client->Connect(Loopback(), listener.localPort, true));
    std::unique_ptr<QTcpSocket> accepted = AcceptWithin(listener);
    ASSERT_TRUE(accepted);
    accepted->remotePort = static_cast<uint16_t>(i);
    IncomingConnections::AddPending(std::move(accepted), static_cast<uint32_t>(i), Loopback());
    clients.push_back(std::move(client));
  }
  EXPECT_TRUE(IncomingConnections::Sweep(nullptr, 100).empty());
  EXPECT_EQ(IncomingConnections::PendingCount(), IncomingConnections::kMaxPending);
}

// A full list under a flood: connections whose peer has gone, then silent
// ones, give way to newcomers; one whose handshake is in stays and is taken.
TEST_F(Incoming, AFullListKeepsTheConnectionWhoseHandshakeIsIn) {
  const BtHash mine = Hash(1);
  int self = 0;
  ServedInfoHashes::Register(mine, &self);
  QTcpSocket listener;
  ASSERT_TRUE(listener.Listen(0, Loopback()));
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  auto connect = [&](const std::vector<uint8_t>& bytes, uint32_t nowMs) {
    auto client = std::make_unique<QTcpSocket>();
    ASSERT_TRUE(client->Connect(Loopback(), listener.localPort, true));
    std::unique_ptr<QTcpSocket> accepted = AcceptWithin(listener);
    ASSERT_TRUE(accepted);
    if (!bytes.empty()) {
      ASSERT_EQ(client->Send(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    }
    IncomingConnections::AddPending(std::move(accepted), nowMs, Loopback());
    clients.push_back(std::move(client));
  };
  connect(Handshake(mine), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the handshake is in
  for (uint32_t i = 1; i < 3 * IncomingConnections::kMaxPending; ++i) {
    connect({}, i);
    if (i % 2) clients.back().reset();  // gone at once
  }
  EXPECT_LE(IncomingConnections::PendingCount(), IncomingConnections::kMaxPending);
  std::vector<IncomingConnections::Matched> matched;
  for (int i = 0; i < 100 && matched.empty(); ++i) {
    matched = IncomingConnections::Sweep(&mine, 100);
    if (matched.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(matched.size(), 1u) << "the peer whose handshake was in was pushed out by the flood";
}

}  // namespace
}  // namespace pf
