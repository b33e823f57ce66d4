#include "engine/content/BufferPool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pf {
namespace {

// Frees buffers of the given sizes into the pool, in this order.
std::vector<uint8_t*> Seed(BufferPool& pool, std::initializer_list<int> sizes) {
  std::vector<PoolBuffer> held;
  std::vector<uint8_t*> pointers;
  for (int n : sizes) {
    held.push_back(pool.Take(n));
    pointers.push_back(held.back().data());
  }
  for (PoolBuffer& b : held) b.Release();
  return pointers;
}

TEST(BufferPoolTest, NewBufferHasTheUsableBytesAndATrailingZero) {
  BufferPool pool;
  for (int n : {5, 131072}) {
    PoolBuffer b = pool.Take(n);
    ASSERT_TRUE(b);
    EXPECT_EQ(b.size(), n);
    EXPECT_EQ(b.data()[n], 0);
  }
  for (int n : {0, -7}) {  // counts as one byte
    PoolBuffer b = pool.Take(n);
    ASSERT_TRUE(b);
    EXPECT_EQ(b.size(), 1);
    EXPECT_EQ(b.data()[1], 0);
  }
}

TEST(BufferPoolTest, ExactSizeIsPreferredOverAnEarlierSlightlyLargerBuffer) {
  BufferPool pool;
  std::vector<uint8_t*> p = Seed(pool, {1012, 1010});
  PoolBuffer b = pool.Take(1010);
  EXPECT_EQ(b.data(), p[1]);
  PoolBuffer c = pool.Take(1010);  // the 1012-byte one is within tolerance
  EXPECT_EQ(c.data(), p[0]);
  EXPECT_EQ(c.size(), 1010);
}

TEST(BufferPoolTest, LargerBufferServesOnlyWithinTolerance) {
  struct Case {
    int freeSize;
    int wanted;
    bool reused;
  };
  const Case kCases[] = {
      {1999, 1000, true},   // 999 larger, tolerance min(1000, 1024)
      {2000, 1000, false},  // 1000 larger: too much
      {5119, 4096, true},   // tolerance caps at 1024
      {5120, 4096, false},
      {999, 1000, false},   // smaller never serves
      {2, 1, false},        // tolerance of a 1-byte request is 1: only exact
      {1, 0, true},         // 0 counts as 1
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.freeSize << " for " << c.wanted);
    BufferPool pool;
    uint8_t* freed = Seed(pool, {c.freeSize})[0];
    PoolBuffer b = pool.Take(c.wanted);
    EXPECT_EQ(b.data() == freed, c.reused);
    EXPECT_EQ(pool.FreeBytes(), c.reused ? 0 : c.freeSize);
  }
}

TEST(BufferPoolTest, FirstFittingBufferInListOrderWinsOverACloserOne) {
  BufferPool pool;
  std::vector<uint8_t*> p = Seed(pool, {3000, 1500, 1100});
  PoolBuffer b = pool.Take(1000);
  EXPECT_EQ(b.data(), p[1]);
}

TEST(BufferPoolTest, TotalsFollowTakesAndReturns) {
  BufferPool pool;
  PoolBuffer a = pool.Take(100);
  PoolBuffer b = pool.Take(300);
  EXPECT_EQ(pool.InUseBytes(), 400);
  EXPECT_EQ(pool.FreeBytes(), 0);
  b.Release();
  b.Release();  // a second release is harmless
  EXPECT_EQ(pool.InUseBytes(), 100);
  EXPECT_EQ(pool.FreeBytes(), 300);
  PoolBuffer c = pool.Take(299);  // takes the 300-byte buffer, counted at its full size
  EXPECT_EQ(pool.InUseBytes(), 400);
  EXPECT_EQ(pool.TotalBytes(), 400);

  PoolBuffer moved = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_EQ(pool.InUseBytes(), 400);
  moved = pool.Take(50);  // the 100-byte buffer goes back
  EXPECT_EQ(pool.InUseBytes(), 350);
  EXPECT_EQ(pool.FreeBytes(), 100);
}

TEST(BufferPoolTest, TrimKeepsTheLeadingBuffersThatFitAndDropsTheRest) {
  struct Case {
    int64_t limit;
    int64_t kept;
  };
  // Free list, in order: 100, 200, 50.
  const Case kCases[] = {{1000, 350}, {350, 350}, {300, 300}, {299, 100}, {150, 100}, {99, 0}, {-1, 0}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.limit);
    BufferPool pool;
    Seed(pool, {100, 200, 50});
    pool.Trim(c.limit);
    EXPECT_EQ(pool.FreeBytes(), c.kept);
    EXPECT_EQ(pool.TotalBytes(), c.kept);
  }
  BufferPool pool;
  std::vector<uint8_t*> p = Seed(pool, {100, 200, 50});
  pool.Trim(150);  // the 50 fits but comes after the 200 that does not
  PoolBuffer kept = pool.Take(100);
  EXPECT_EQ(kept.data(), p[0]);
  PoolBuffer fresh = pool.Take(50);
  EXPECT_EQ(pool.FreeBytes(), 0);
  EXPECT_EQ(pool.TotalBytes(), 150);
}

TEST(BufferPoolTest, ConcurrentUseKeepsTheTotalsConsistent) {
  BufferPool pool;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&pool, t] {
      for (int i = 0; i < 2000; ++i) {
        PoolBuffer a = pool.Take(1024 + (i + t) % 7);
        PoolBuffer b = pool.Take(16384);
        a.data()[0] = 1;
        b.data()[16383] = 2;
        if (i % 500 == 0) pool.Trim(64 * 1024);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(pool.InUseBytes(), 0);
  EXPECT_EQ(pool.TotalBytes(), pool.FreeBytes());
  EXPECT_EQ(&BufferPool::Data(), &BufferPool::Data());
}

}  // namespace
}  // namespace pf
