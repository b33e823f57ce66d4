// The mirror policy against a pool that only counts what it is asked to do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/task/MirrorPolicy.h"

namespace pf {
namespace {

struct CountingPool : MirrorPolicy::Pool {
  int OpenServerConnections() const override { return open; }
  int ServerConnectionLimit() const override { return limit; }
  int ServerCandidateCount() const override { return candidates; }
  int64_t ServerSpeed() const override { return speed; }
  void DropSlowServers(int count) override { slowDropped += count; }
  void DropSlowestServers(int count) override {
    slowestDropped += count;
    open -= count;
  }
  bool TakeServer(const std::string& address, const std::string& hostName, bool connectNow) override {
    taken.push_back(address + (hostName.empty() ? "" : "|" + hostName) + (connectNow ? " now" : ""));
    return true;
  }
  void ResolveCandidates() override { ++resolves; }

  int open = 0, limit = 4, candidates = 0, slowDropped = 0, slowestDropped = 0, resolves = 0;
  int64_t speed = 0;
  std::vector<std::string> taken;
};

TEST(MirrorPolicy, MirrorsComeEveryThirtyOneSecondsAndMakeRoomWhenTheServersAreFull) {
  CountingPool pool;
  MirrorList mirrors;
  MirrorPolicy policy(pool, mirrors);
  mirrors.Add("http://m1/f\nhttp://m2/f", "host1");
  pool.open = 4;  // full: the slowest makes room, then one mirror comes in
  policy.KeepMirrors(1000);
  EXPECT_EQ(pool.slowestDropped, 1);
  ASSERT_EQ(pool.taken.size(), 1u);
  policy.KeepMirrors(1030);  // too soon
  EXPECT_EQ(pool.taken.size(), 1u);
  pool.open = 1;  // three free: up to three drawn
  policy.KeepMirrors(1031);
  EXPECT_EQ(pool.taken.size(), 4u);
  for (const std::string& t : pool.taken)
    EXPECT_TRUE(t == "http://m1/f|host1" || t == "http://m2/f") << t;
}

TEST(MirrorPolicy, WithoutMirrorsTheSlowestServersTakeTurnsEveryFortyFiveSeconds) {
  CountingPool pool;
  MirrorList mirrors;
  MirrorPolicy policy(pool, mirrors);
  pool.open = 4;
  pool.candidates = 6;
  policy.NoteServerPass(1000);
  policy.KeepMirrors(1045);  // not yet 45 s after the first pass
  EXPECT_EQ(pool.slowDropped, 0);
  policy.KeepMirrors(1046);
  EXPECT_EQ(pool.slowDropped, 1);
  policy.KeepMirrors(1090);
  EXPECT_EQ(pool.slowDropped, 1);
  policy.KeepMirrors(1091);
  EXPECT_EQ(pool.slowDropped, 2);
  pool.candidates = 3;  // fewer servers than the limit: nobody waits
  policy.KeepMirrors(1200);
  EXPECT_EQ(pool.slowDropped, 2);
}

TEST(MirrorPolicy, SixteenSlowSecondsBringTheTasksOwnSourcesBackAtOnce) {
  CountingPool pool;
  MirrorList mirrors;
  MirrorPolicy policy(pool, mirrors);
  policy.RememberOwnSource("http://own/f");
  pool.speed = 1023;
  for (int s = 0; s < 15; ++s) policy.SlowServerFallback();
  EXPECT_TRUE(pool.taken.empty());
  pool.speed = 1024;  // one good second starts the count again
  policy.SlowServerFallback();
  pool.speed = 0;
  for (int s = 0; s < 15; ++s) policy.SlowServerFallback();
  EXPECT_TRUE(pool.taken.empty());
  policy.SlowServerFallback();
  ASSERT_EQ(pool.taken.size(), 1u);
  EXPECT_EQ(pool.taken[0], "http://own/f now");
  EXPECT_EQ(pool.resolves, 1);
  pool.open = pool.limit;  // no room: nothing comes back
  policy.SlowServerFallback();
  EXPECT_EQ(pool.taken.size(), 1u);
}

}  // namespace
}  // namespace pf
