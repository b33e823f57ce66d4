#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/base/QThread.h"
#include "engine/base/ScopedLock.h"
#include "platform/ThreadIdentity.h"

namespace pf {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A body whose behaviour each test chooses.
class TestThread : public QThread {
 public:
  enum class Mode { PollUntilStop, SleepFive, ThrowHoldingLock, StopSelf };

  explicit TestThread(Mode mode) : mode_(mode) {}
  ~TestThread() override { Stop(); }

  void Run() override {
    ++runs;
    switch (mode_) {
      case Mode::PollUntilStop:
        while (!CheckStop()) {
          ++passes;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        break;
      case Mode::SleepFive:
        SleepSeconds(5);
        break;
      case Mode::ThrowHoldingLock:
        mutex.Lock();
        mutex.Lock();
        throw std::runtime_error("body failed");
      case Mode::StopSelf:
        selfStopResult = Stop() ? 1 : 0;
        break;
    }
  }
  void Refresh() override {}

  std::atomic<int> runs{0};
  std::atomic<int> passes{0};
  std::atomic<int> selfStopResult{-1};

 private:
  Mode mode_;
};

TEST(QThread, StartRunsBodyAndStopWaitsForIt) {
  TestThread t(TestThread::Mode::PollUntilStop);
  ASSERT_TRUE(t.Start("test"));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_NE(t.ThreadId(), 0u);
  EXPECT_FALSE(t.Start("again")) << "a running thread is not started twice";
  EXPECT_TRUE(t.Stop());
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.ThreadId(), 0u);
  EXPECT_EQ(t.runs, 1);

  // An idle object starts again on a new run.
  ASSERT_TRUE(t.Start("restart"));
  EXPECT_TRUE(t.Stop());
  EXPECT_EQ(t.runs, 2);
  EXPECT_EQ(t.StartCount(), 2u);
}

TEST(QThread, StopFromInsideTheBodyReturnsFalse) {
  TestThread t(TestThread::Mode::StopSelf);
  ASSERT_TRUE(t.Start("test"));
  for (int i = 0; i < 200 && t.selfStopResult < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(t.selfStopResult, 0);
}

TEST(QThread, ThrowingBodyLeavesObjectIdleAndLockFree) {
  TestThread t(TestThread::Mode::ThrowHoldingLock);
  ASSERT_TRUE(t.Start("test"));
  for (int i = 0; i < 400 && (t.IsRunning() || t.mutex.Owner() != 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.mutex.Owner(), 0u);
  ScopedLock lock(&t.mutex, false);
  EXPECT_TRUE(lock.TryLock());
  lock.Unlock();
  EXPECT_TRUE(t.Start("again")) << "the object survives and can run again";
}

TEST(QThread, SleepSecondsEndsSoonAfterStop) {
  TestThread t(TestThread::Mode::SleepFive);
  ASSERT_TRUE(t.Start("test"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = Clock::now();
  EXPECT_TRUE(t.Stop());
  EXPECT_LT(SecondsSince(start), 1.2);
}

TEST(QThread, PauseHoldsBodyAtCheckStopUntilResumedOrStopped) {
  TestThread t(TestThread::Mode::PollUntilStop);
  EXPECT_FALSE(t.SetPaused(true)) << "nothing to pause while idle";
  EXPECT_FALSE(t.IsPaused());
  ASSERT_TRUE(t.Start("test"));
  ASSERT_TRUE(t.SetPaused(true));
  EXPECT_TRUE(t.IsPaused());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const int frozen = t.passes;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_LE(t.passes - frozen, 1) << "a paused body must not advance";
  ASSERT_TRUE(t.SetPaused(false));
  for (int i = 0; i < 1000 && t.passes <= frozen + 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(t.passes, frozen + 1) << "a resumed body goes on";

  t.SetPaused(true);
  const auto start = Clock::now();
  EXPECT_TRUE(t.Stop()) << "a stop ends a paused body";
  EXPECT_LT(SecondsSince(start), 1.2);
}

TEST(QThread, RequestStopDoesNotWaitAndHasEndedTracksTheRun) {
  TestThread t(TestThread::Mode::PollUntilStop);
  uint32_t id = 123;
  EXPECT_FALSE(t.RequestStop(&id));
  EXPECT_EQ(id, 0u);
  ASSERT_TRUE(t.Start("test"));
  const uint32_t running = t.ThreadId();
  ASSERT_TRUE(t.RequestStop(&id));
  EXPECT_EQ(id, running);
  for (int i = 0; i < 400 && !t.HasEnded(id); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(t.HasEnded(id));
  EXPECT_FALSE(t.IsRunning());
}

}  // namespace
}  // namespace pf
