#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "engine/base/CriticalSection.h"
#include "engine/base/QSMutex.h"
#include "engine/base/QTMutex.h"
#include "engine/base/ScopedLock.h"

namespace pf {
namespace {

// Runs fn on another thread and returns its result.
template <typename Fn>
auto OnOtherThread(Fn fn) {
  return std::async(std::launch::async, fn).get();
}

TEST(QTMutex, RecursiveLevelsReleaseInOrder) {
  QTMutex m;
  ASSERT_TRUE(m.Lock());
  ASSERT_TRUE(m.Lock());
  EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));
  EXPECT_TRUE(m.Unlock());
  EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); })) << "one level is still held";
  EXPECT_TRUE(m.Unlock());
  EXPECT_FALSE(m.Unlock()) << "a third unlock finds the mutex free";
  EXPECT_TRUE(OnOtherThread([&] {
    bool ok = m.TryLock();
    m.Unlock();
    return ok;
  }));
}

TEST(QTMutex, UnlockFromForeignThreadFailsAndKeepsOwnership) {
  QTMutex m;
  ASSERT_TRUE(m.Lock());
  EXPECT_FALSE(OnOtherThread([&] { return m.Unlock(); }));
  EXPECT_TRUE(m.TryLock()) << "the owner may take another level";
  EXPECT_TRUE(m.Unlock());
  EXPECT_TRUE(m.Unlock());
}

TEST(QTMutex, UnlockUntilFalseReleasesEveryLevel) {
  QTMutex m;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(m.Lock());
  int released = 0;
  while (m.Unlock()) ++released;
  EXPECT_EQ(released, 5);
  EXPECT_EQ(m.Owner(), 0u);
}

TEST(QTMutex, LockWaitsForOwnerAndExcludes) {
  QTMutex m;
  int counter = 0;
  auto worker = [&] {
    for (int i = 0; i < 2000; ++i) {
      ScopedLock lock(&m);
      ++counter;
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(counter, 4000);
}

TEST(QSMutex, BehavesAsRecursiveSystemMutex) {
  QSMutex m;
  ASSERT_TRUE(m.Lock());
  ASSERT_TRUE(m.TryLock());
  EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));
  EXPECT_FALSE(OnOtherThread([&] { return m.Unlock(); }));
  EXPECT_TRUE(m.Unlock());
  EXPECT_TRUE(m.Unlock());
  EXPECT_FALSE(m.Unlock());
}

TEST(ScopedLock, UnlocksOnlyWhatItLocked) {
  QTMutex m;
  {
    ScopedLock lock(&m, false);
    EXPECT_FALSE(lock.IsLocked());
  }
  EXPECT_FALSE(m.Unlock()) << "an unlocked guard must not release anything";
  {
    ScopedLock lock(&m);
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));
  }
  EXPECT_EQ(m.Owner(), 0u);
  ScopedLock none(nullptr);
  EXPECT_FALSE(none.IsLocked());
}

TEST(CriticalSectionGuard, LeaveIsIdempotent) {
  CriticalSection section;
  {
    CriticalSectionGuard guard(&section);
    guard.Leave();
    guard.Leave();
    EXPECT_TRUE(OnOtherThread([&] {
      CriticalSectionGuard other(&section);
      return true;
    }));
  }
}

}  // namespace
}  // namespace pf
