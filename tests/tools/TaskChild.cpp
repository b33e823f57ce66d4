// Runs one task to completion in its own process, its blocks fed from a local
// copy of the content, so that a test can kill it at any moment and start it
// again on the same files.
//
//   pf_task_child TORRENT CONTENT TARGET STATEFILE BLOCKS_PER_TICK
// Exit status 0 once the task is complete.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "engine/api/EngineApi.h"
#include "engine/base/EngineClock.h"
#include "support/FeedingWork.h"

namespace {

// The system's clock, whose wall seconds can be moved ahead.
class AheadClock final : public pf::EngineClock {
 public:
  uint32_t TickMs() override { return system_.TickMs(); }
  uint32_t MonotonicSeconds() override { return system_.MonotonicSeconds(); }
  int64_t WallSeconds() override { return system_.WallSeconds() + ahead.load(); }

  std::atomic<int64_t> ahead{0};

 private:
  pf::EngineClock& system_ = pf::CurrentClock();
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: pf_task_child TORRENT CONTENT TARGET STATEFILE BLOCKS_PER_TICK\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  AheadClock clock;
  pf::InstallClock(&clock);
  pf::testing::FeedingWork work(argv[1], content, 1 << 30);
  work.blocksPerTick = std::atoi(argv[5]);
  work.saveIntervalSeconds = 0;  // save every second, so kills find fresh state
  work.Configure(argv[3], argv[4], pf::kTaskP2SP | pf::kTaskTargetIsFile);
  if (work.ContinueDownload() != pf::kOk) return 3;
  for (;;) {
    int32_t complete = 0;
    work.IsComplete(&complete);
    if (complete) break;
    if (!work.IsRunning()) return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Complete: let the run finish its files as it does at the end of seeding.
  clock.ahead = 13 * 3600;
  while (work.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return 0;
}
