// pftool download (its options are in CommandTable.cpp): downloads a
// torrent's file (or files) from its mirrors and from the peers its trackers name, through
// the engine's call interface, the way the application does: a P2SP task
// keyed by the torrent, polled for its figures until it is complete. Ctrl-C stops the task with its
// state saved, so that the same command continues where it stopped.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "TaskSession.h"
#include "ProgressBar.h"
#include "engine/api/EngineApi.h"
#include "platform/Interrupt.h"

namespace pftool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;  // the shell's code for a Ctrl-C
constexpr auto kPollInterval = std::chrono::milliseconds(50);
// The engine stops a task whose pieces have not changed for 900 s and keeps
// no code for it; a little after that the run is taken as ended.
constexpr auto kNoProgressLimit = std::chrono::seconds(930);

std::string Bytes(int64_t bytes) {
  char text[32];
  if (bytes < 1024)
    std::snprintf(text, sizeof text, "%" PRId64 " B", bytes);
  else if (bytes < (int64_t{1} << 20))
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  else if (bytes < (int64_t{1} << 30))
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  else
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / 1073741824.0);
  return text;
}

std::string Duration(int64_t seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", seconds / 3600, static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  return text;
}

// What the user reads for a state code with which a task's run ends.
const char* EndingStateText(int32_t state) {
  switch (state) {
    case pf::kStateNoMetadata: return "the torrent's pieces were not known in time";
    case pf::kStateDiskFull: return "the disk is full";
    case pf::kStateTorrentUnreadable: return "the torrent cannot be read";
    case pf::kStateGaveUp: return "no source could be used";
    case pf::kStateSizeUnreadable: return "the target file cannot be written (or its size read)";
    default: return nullptr;
  }
}

// Why the file at `target` cannot be written, as the system says it: the
// folder is made and the file opened for writing (and removed again when it
// was not there). Empty when that works.
std::string WriteProblem(const std::string& target) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path path(target);
  fs::create_directories(path.parent_path(), error);
  if (error) return path.parent_path().string() + ": " + error.message();
  const bool existed = fs::exists(path, error);
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return target + ": " + std::strerror(errno);
  ::close(fd);
  if (!existed) fs::remove(path, error);
  return std::string();
}

// Prints the task's source notices not printed yet; false when the last one
// says that nothing is left to download from (the sources' reasons are
// repeated under it).
bool PrintNotices(pf::TaskHandle handle, const pf::TaskInfo& info, ProgressBar& bar, int32_t* printed,
                  std::vector<std::string>* reasons) {
  for (; *printed < info.notices; ++*printed) {
    char text[2048];
    int32_t kind = pf::kNoticeSource;
    if (pf::GetSourceNotice(handle, *printed, &kind, text, sizeof text) != pf::kOk) break;
    bar.Finish();
    std::fprintf(stderr, "pftool download: %s\n", text);
    if (kind == pf::kNoticeSource) reasons->push_back(text);
    if (kind == pf::kNoticeNoSourceLeft) {
      for (const std::string& reason : *reasons) std::fprintf(stderr, "  %s\n", reason.c_str());
      return false;
    }
  }
  return true;
}

// The first write problem among the run's files (a multi-file torrent's
// files, or the one target), each under its partial name and its own.
std::string FirstWriteProblem(const TargetLayout& layout) {
  std::vector<fs::path> files{layout.root};
  if (layout.multiFile) {
    files.clear();
    for (const TargetFile& file : layout.files) files.push_back(file.path);
  }
  for (const fs::path& file : files)
    for (const std::string& path : {file.string() + ".pftmp", file.string()})
      if (std::string why = WriteProblem(path); !why.empty()) return why;
  return std::string();
}

// A file the complete run should have left but did not; empty when all are
// there.
std::string MissingFile(const TargetLayout& layout) {
  if (!layout.multiFile) return fs::is_regular_file(layout.root) ? std::string() : layout.root.string();
  for (const TargetFile& file : layout.files)
    if (!fs::is_regular_file(file.path)) return file.path.string();
  return std::string();
}

std::string Figures(const pf::TaskInfo& info) {
  std::string text = Bytes(info.doneBytes) + "/" + Bytes(int64_t{info.totalKB} * 1024) + "  " +
                     Bytes(info.speed) + "/s";
  if (info.remaining > 0) text += "  " + Duration(info.remaining) + " left";
  text += "  http " + Bytes(info.httpBytes);
  if (info.peerBytes > 0) text += "  peers " + Bytes(info.peerBytes);
  return text;
}

}  // namespace

int RunDownload(const std::vector<std::string>& args) {
  TaskOptions options;
  if (!ParseTaskOptions("download", args, &options)) return PrintCommandUsage("download");
  TaskSession run("download");
  if (const int failed = run.Start(options, false)) return failed;
  if (run.recovered) std::fprintf(stderr, "pftool download: continuing from %s\n", run.statePath.c_str());
  const fs::path target = run.targetPath;

  ProgressBar bar(target.filename().string());
  pf::TaskInfo info{};
  int64_t lastDone = -1;
  int32_t noticesPrinted = 0;
  std::vector<std::string> reasons;
  auto lastChange = Clock::now();
  const auto started = Clock::now();
  for (;;) {
    if (pf::platform::InterruptRequested()) {
      bar.Finish();
      run.StopTask();
      pf::GetTaskInfo(run.handle, &info);  // the figures the ended run saved
      std::fprintf(stderr, "pftool download: stopped; %s of %s held. The same command continues%s.\n",
                   Bytes(info.doneBytes).c_str(), Bytes(int64_t{info.totalKB} * 1024).c_str(),
                   options.resume.empty() ? "" : " (same --resume)");
      return kExitInterrupted;
    }
    if (const int32_t rc = pf::GetTaskInfo(run.handle, &info); rc != pf::kOk) {
      bar.Finish();
      std::fprintf(stderr, "pftool download: the engine does not answer for the task (%d)\n", rc);
      return kExitFailed;
    }
    if (!PrintNotices(run.handle, info, bar, &noticesPrinted, &reasons)) {
      run.StopTask();
      return kExitFailed;
    }
    int32_t complete = 0;
    pf::IsTaskComplete(run.handle, &complete);
    if (complete) {
      bar.Show(10000, 10000, Figures(info));
      break;
    }
    bar.Show(info.progress, pf::kProgressWhole, info.totalKB > 0 ? Figures(info) : std::string("starting"));
    if (const char* text = EndingStateText(info.state)) {
      bar.Finish();
      std::fprintf(stderr, "pftool download: failed with state %d: %s\n", info.state, text);
      if (info.state == pf::kStateSizeUnreadable) {
        // A file or its partial name: whichever the task wrote to.
        if (const std::string why = FirstWriteProblem(run.layout); !why.empty())
          std::fprintf(stderr, "pftool download: %s\n", why.c_str());
      }
      return kExitFailed;
    }
    if (info.doneBytes != lastDone) {
      lastDone = info.doneBytes;
      lastChange = Clock::now();
    } else if (Clock::now() - lastChange > kNoProgressLimit) {
      bar.Finish();
      std::fprintf(stderr, "pftool download: failed with state %d: no piece arrived for %d minutes\n", info.state,
                   static_cast<int>(kNoProgressLimit.count() / 60));
      return kExitFailed;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  bar.Finish();

  // Ending the complete task's run finishes its file and removes the state.
  run.StopTask();
  // What the last moments told (a fast download ends between two polls).
  if (pf::GetTaskInfo(run.handle, &info) == pf::kOk) PrintNotices(run.handle, info, bar, &noticesPrinted, &reasons);
  if (const std::string missing = MissingFile(run.layout); !missing.empty()) {
    std::fprintf(stderr, "pftool download: the task reported completion but %s is missing\n", missing.c_str());
    return kExitFailed;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::error_code error;
  uint64_t bytes = 0;
  for (const TargetFile& file : run.layout.files) bytes += fs::file_size(file.path, error);
  if (!run.layout.multiFile) bytes = fs::file_size(target, error);
  std::printf("complete: %s\n", target.c_str());
  std::printf("bytes: %" PRIu64 "\n", bytes);
  std::printf("http bytes: %" PRId64 "\n", info.httpBytes);
  std::printf("peer bytes: %" PRId64 "\n", info.peerBytes);
  std::printf("seconds: %.2f\n", seconds);
  return 0;
}

}  // namespace pftool
