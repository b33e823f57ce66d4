#include <gtest/gtest.h>

#include "engine/task/TWorkThread.h"

namespace pf {
namespace {

// A work object whose live status the test sets directly, standing in for
// the piece map.
class StatusWork : public TWorkThread {
 public:
  void SetProgress(int64_t total, int64_t done, int stateCode) {
    live.totalBytes = total;
    live.doneBytes = done;
    live.stateCode = stateCode;
    live.name = "game.pak";
    Publish({.bitmap = false, .wait = true});
  }
};

TEST(TWorkThread, TaskInfoReportsCompletionOverAnyStoredCode) {
  StatusWork work;
  struct Case {
    int64_t total, done;
    int stored;
    int32_t progress, state, complete;
  } cases[] = {
      {0, 0, 0, 0, 0, 0},
      {1000000, 500000, 0, 5000, 0, 0},
      {1000000, 999999, kStateDiskFull, 9999, kStateDiskFull, 0},
      {1000000, 1000000, kStateDiskFull, 10000, kStateComplete, 1},
      {3 * 1024, 3 * 1024, 0, 10000, kStateComplete, 1},
  };
  for (const auto& c : cases) {
    work.SetProgress(c.total, c.done, c.stored);
    TaskInfo info;
    ASSERT_EQ(work.GetTaskInfo(&info), kOk);
    EXPECT_EQ(info.progress, c.progress) << c.done;
    EXPECT_EQ(info.state, c.state) << c.done;
    EXPECT_EQ(info.totalKB, c.total / 1024);
    EXPECT_EQ(info.doneBytes, c.done);
    EXPECT_STREQ(info.name, "game.pak");
    int32_t complete = -1;
    ASSERT_EQ(work.IsComplete(&complete), kOk);
    EXPECT_EQ(complete, c.complete) << c.done;
  }
}

TEST(TWorkThread, RateLimitsOutsideTheirRangeMeanUnlimited) {
  TWorkThread work;
  struct Case {
    int selector, value, download, upload;
  } cases[] = {
      {1, 500, 500, 0},   {0, 32766, 500, 32766}, {1, 32767, 0, 32766},
      {0, -1, 0, 0},      {1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(work.SetRateLimit(c.selector, c.value), kOk);
    EXPECT_EQ(work.Config().downloadLimitKB, c.download) << c.value;
    EXPECT_EQ(work.Config().uploadLimitKB, c.upload) << c.value;
  }
  EXPECT_EQ(work.SetRateLimit(2, 10), kErrBadArgument);
}

TEST(TWorkThread, ConnectionLimitsAreStored) {
  TWorkThread work;
  work.SetConnectionLimits(6, 55);
  EXPECT_EQ(work.ServerConnectionLimit(), 6);
  EXPECT_EQ(work.PeerConnectionLimit(), 55);
}

}  // namespace
}  // namespace pf
