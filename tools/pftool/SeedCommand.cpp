// pftool seed: serves a complete file of a torrent to BitTorrent peers: the task checks
// the file, announces itself to the torrent's trackers and answers the peers
// that connect, until Ctrl-C (or SIGTERM).
#include <chrono>
#include <cstdio>
#include <thread>

#include "Command.h"
#include "TaskSession.h"
#include "platform/Interrupt.h"

namespace pftool {
namespace {

constexpr int kExitFailed = 1;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

}  // namespace

int RunSeed(const std::vector<std::string>& args) {
  TaskOptions options;
  if (!ParseTaskOptions("seed", args, &options)) return PrintCommandUsage("seed");
  TaskSession run("seed");
  if (const int failed = run.Start(options, true)) return failed;

  bool announced = false;
  int32_t shownProgress = -1;
  while (!pf::platform::InterruptRequested()) {
    pf::TaskInfo info{};
    if (const int32_t rc = pf::GetTaskInfo(run.handle, &info); rc != pf::kOk) {
      std::fprintf(stderr, "pftool seed: the engine does not answer for the task (%d)\n", rc);
      return kExitFailed;
    }
    int32_t complete = 0;
    pf::IsTaskComplete(run.handle, &complete);
    if (complete && !announced) {
      // The check found every piece: from here on the file is served.
      std::printf("seeding: %s\n", run.targetPath.c_str());
      std::fflush(stdout);
      announced = true;
    } else if (!complete && info.totalKB > 0 && info.progress != shownProgress) {
      // Pieces the file lacks are fetched from the swarm like a download's.
      std::fprintf(stderr, "pftool seed: %d.%02d%% of the file is held\n", info.progress / 100, info.progress % 100);
      shownProgress = info.progress;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  std::fprintf(stderr, "pftool seed: stopped\n");
  return 0;
}

}  // namespace pftool
