// The per-second budgets, loop pacing and send slots the accounting derives
// from what moved in the last second.
#include <gtest/gtest.h>

#include "engine/base/EngineSwitches.h"
#include "engine/task/IncomingConnections.h"
#include "engine/task/TWorkWithTransStatis.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

using Statis = TWorkWithTransStatis;

TEST(TransferAccounting, BudgetsFromLimits) {
  const struct {
    int kilobytes;
    int64_t budget;
  } cases[] = {{0, 1048576000}, {-5, 1048576000}, {1, 3072}, {2, 3072}, {10, 10240}, {2048, 2097152},
               {2000000, 1048576000}};
  for (const auto& c : cases) EXPECT_EQ(Statis::BudgetFromKB(c.kilobytes), c.budget) << c.kilobytes;
}

TEST(TransferAccounting, FasterSecondsTickMoreOftenAndServiceSlowConnectionsLess) {
  const struct {
    int64_t bytes;
    int speedClass, receiveEvery, sendEvery;
  } cases[] = {{4194304, 1, 14, 42}, {3145728, 2, 9, 27}, {1536001, 2, 9, 27}, {1000000, 3, 7, 21},
               {307201, 4, 6, 18},   {307200, 5, 5, 15},  {0, 5, 5, 15}};
  for (const auto& c : cases) {
    const Statis::Pacing pacing = Statis::PacingFor(c.bytes);
    EXPECT_EQ(pacing.speedClass, c.speedClass) << c.bytes;
    EXPECT_EQ(pacing.receiveEvery, c.receiveEvery) << c.bytes;
    EXPECT_EQ(pacing.sendEvery, c.sendEvery) << c.bytes;
  }
}

TEST(TransferAccounting, SendSlotsFollowTheUploadSpeed) {
  const struct {
    int64_t upload;
    bool reachable;
    int slots;
  } cases[] = {{0, true, 8}, {0, false, 8}, {8192 * 12, true, 8}, {8192 * 20, true, 12}, {8192 * 30, true, 20},
               {16384 * 100, true, 20}};
  for (const auto& c : cases) EXPECT_EQ(Statis::SendSlotsFor(c.upload, c.reachable), c.slots) << c.upload;
}

TEST(TransferAccounting, MorePeersOverUdpOnlyWithAKnownOutsideAddressAndNoOneReachingUs) {
  testing::ScopedProcessState processState;
  IncomingConnections::ClearReachable();
  Switches().externalIp = 0;
  EXPECT_FALSE(Statis::CanServeMore());
  Switches().externalIp = 0x01020304;
  EXPECT_EQ(Statis::CanServeMore(), !IncomingConnections::Reachable());
}

// Payload booked by kind: every mirror's bytes are mirror bytes (FTP's too),
// a peer's are peer bytes, and a tracker's are neither.
TEST(TransferAccounting, PayloadIsBookedByTheKindOfSource) {
  struct Accounts : Statis {
    void Run() override {}
    void Refresh() override {}
    PeerHost* Host() override { return nullptr; }
    using Statis::CountPayload;
    using Statis::live;
  } accounts;
  accounts.CountPayload(kHttp, 1000);
  accounts.CountPayload(kFtp, 300);
  accounts.CountPayload(kBtNode, 20);
  accounts.CountPayload(kTracker, 5);
  EXPECT_EQ(accounts.live.httpBytes, 1300);
  EXPECT_EQ(accounts.live.peerBytes, 20);
}

}  // namespace
}  // namespace pf
