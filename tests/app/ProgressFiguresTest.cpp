// The package's figures from tables: the weighted progress, the shown speed
// under a rate limit, the resource list's pacing, the size text and the text
// getters' convention.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/FigureFormats.h"
#include "app/OverallProgress.h"
#include "app/SpeedMeter.h"

namespace pf {
namespace {

constexpr uint64_t kMiB = 1048576;

TEST(OverallProgress, WeighsFilesByWholeMebibytes) {
  // complete, complete, half, not started with 3, 3545, 4096 and 4096 MiB.
  OverallProgress p;
  p.AddComplete(3145216);  // 3.0 MiB: weight 3
  p.AddComplete(3545 * kMiB + kMiB - 1);
  p.AddAnswering(4096 * 1024, 5000, false);
  p.AddAnswering(4096 * 1024 + 1023, 0, false);
  EXPECT_EQ(p.Value(), 4766u);
  EXPECT_EQ(FormatPercent(p.Value()), "47.66%");
}

TEST(OverallProgress, FinishedOrOverfullCountsWholeAndSmallFilesWeighNothing) {
  const struct {
    int32_t totalKB, progress;
    bool finished;
    uint32_t value;
  } cases[] = {
      {2048, 9000, true, 10000},   // finished now: whole
      {2048, 10001, false, 10000}, // progress past the end: whole
      {2048, -5, false, 0},        // a negative progress counts as none
      {1023, 5000, false, 0},      // under 1 MiB: no weight, so no figure
  };
  for (const auto& c : cases) {
    OverallProgress p;
    p.AddAnswering(c.totalKB, c.progress, c.finished);
    EXPECT_EQ(p.Value(), c.value) << c.totalKB << " " << c.progress;
  }
  OverallProgress small;
  small.AddComplete(kMiB - 1);  // the demo installer: weight 0, left out of the mean
  small.AddAnswering(2048, 2500, false);
  EXPECT_EQ(small.Value(), 2500u);
  EXPECT_EQ(OverallProgress().Value(), 0u);
}

TEST(SpeedMeter, UnderARateLimitMovesHalfwayTowardsTheTotalThenTheCap) {
  SpeedMeter meter;
  // 100 KB/s: cap 102400; 200000 measured each time.
  const std::vector<uint32_t> shown = {100000, 150000, 126200, 114300, 108350};
  for (uint32_t expected : shown) EXPECT_EQ(meter.Smooth(200000, 100), expected);
  EXPECT_EQ(meter.Smooth(90000, 100), 90000u);    // at or below the cap: as measured
  EXPECT_EQ(meter.Smooth(102400, 100), 102400u);
  EXPECT_EQ(meter.Smooth(5000000, 0), 5000000u);  // no limit: as measured
  EXPECT_EQ(meter.Smoothed(), 5000000u);
}

TEST(SpeedMeter, ResourceListWhenDownloadingBeginsAndEvery600Queries) {
  SpeedMeter meter;
  std::vector<int> starts;
  for (int q = 0; q < 1300; ++q)
    if (meter.CountQuery(DownloadState::kDownloading)) starts.push_back(q);
  EXPECT_EQ(starts, (std::vector<int>{0, 600, 1200}));

  // Repairing counts on; any other state starts the count again.
  for (DownloadState other : {DownloadState::kPause, DownloadState::kPreparing, DownloadState::kResume,
                              DownloadState::kFinished}) {
    SpeedMeter m;
    EXPECT_TRUE(m.CountQuery(DownloadState::kCheckRecover));
    EXPECT_FALSE(m.CountQuery(DownloadState::kDownloading));
    EXPECT_FALSE(m.CountQuery(other)) << static_cast<int>(other);
    EXPECT_TRUE(m.CountQuery(DownloadState::kDownloading)) << static_cast<int>(other);
  }
}

TEST(FigureTexts, SizeTextAndGetterConvention) {
  const struct {
    uint64_t present;
    bool finished;
    const char* text;
  } cases[] = {
      {0, false, "0 B/11.5 GB"},
      {3145216, false, "3.0 MB/11.5 GB"},
      {3145216, true, "11.5 GB/11.5 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(SizeText(c.present, 12311236493ull, c.finished), c.text);

  const std::string text = "1.0 KB/s";
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(CopyTextOut(text, nullptr, 0), 8u);
  EXPECT_EQ(CopyTextOut(text, buffer, 8), 0u);  // no room for the terminator
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(CopyTextOut(text, buffer, 9), 8u);
  EXPECT_STREQ(buffer, "1.0 KB/s");
}

}  // namespace
}  // namespace pf
