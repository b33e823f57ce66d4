// pftool download --torrent FILE --target PATH --source URL [--source URL ...]
//                 [--limit KBps] [--resume STATEFILE] [--log BASE] [--telemetry INIFILE]
// Downloads one file of a torrent from its mirrors through the engine's call
// interface, the way the application does: a P2SP task keyed by the torrent,
// polled for its figures until it is complete. Ctrl-C stops the task with its
// state saved, so that the same command continues where it stopped.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "Command.h"
#include "telemetry/ReportingCalls.h"
#include "ProgressBar.h"
#include "engine/core/CPelicanfetchLog.h"
#include "engine/core/EngineApi.h"
#include "engine/peers/QProxySettings.h"
#include "platform/Interrupt.h"

namespace pftool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: pftool download --torrent FILE --target PATH --source URL [--source URL ...]\n"
    "                       [--limit KBps] [--resume STATEFILE] [--log BASE] [--telemetry INIFILE]\n";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // the shell's code for a Ctrl-C
constexpr auto kPollInterval = std::chrono::milliseconds(50);
// The engine stops a task whose pieces have not changed for 900 s and keeps
// no code for it; a little after that the run is taken as ended.
constexpr auto kNoProgressLimit = std::chrono::seconds(930);
constexpr int kLogOff = 39;

struct Options {
  std::string torrent;
  std::string target;
  std::string sources;  // one address per line
  int limit = -1;       // KB/s; -1 = leave the engine's default
  std::string resume;
  std::string logBase;
  std::string telemetry;  // statistics INI: the engine's events are posted
};

// Parses the arguments; false (with a message) on a usage error.
bool Parse(const std::vector<std::string>& args, Options* options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "pftool download: %s needs a value\n", name.c_str());
      return false;
    }
    const std::string& value = args[++i];
    if (name == "--torrent") {
      options->torrent = value;
    } else if (name == "--target") {
      options->target = value;
    } else if (name == "--source") {
      if (value.find_first_of("\r\n") != std::string::npos || value.empty()) {
        std::fprintf(stderr, "pftool download: a source is one address\n");
        return false;
      }
      options->sources += value + "\n";
    } else if (name == "--limit") {
      char* end = nullptr;
      const long limit = std::strtol(value.c_str(), &end, 10);
      // The engine takes 0..32766 KB/s, 0 meaning unlimited.
      if (value.empty() || *end != 0 || limit < 0 || limit > 32766) {
        std::fprintf(stderr, "pftool download: --limit takes 0 to 32766 (KB/s, 0 = unlimited)\n");
        return false;
      }
      options->limit = static_cast<int>(limit);
    } else if (name == "--resume") {
      options->resume = value;
    } else if (name == "--log") {
      options->logBase = value;
    } else if (name == "--telemetry") {
      options->telemetry = value;
    } else {
      std::fprintf(stderr, "pftool download: unknown option %s\n", name.c_str());
      return false;
    }
  }
  if (options->torrent.empty() || options->target.empty() || options->sources.empty()) {
    std::fprintf(stderr, "pftool download: --torrent, --target and at least one --source are needed\n");
    return false;
  }
  return true;
}

// Copies a path into one of the engine's fixed text fields.
bool CopyText(char (&field)[pf::kEngineTextSize], const std::string& text, const char* what) {
  if (text.size() >= sizeof(field)) {
    std::fprintf(stderr, "pftool download: the %s path is too long\n", what);
    return false;
  }
  std::memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

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
    case pf::kStateSizeUnreadable: return "the size of the target file cannot be read";
    default: return nullptr;
  }
}

std::string Figures(const pf::TaskInfo& info) {
  std::string text = Bytes(info.doneBytes) + "/" + Bytes(int64_t{info.totalKB} * 1024) + "  " +
                     Bytes(info.speed) + "/s";
  if (info.remaining > 0) text += "  " + Duration(info.remaining) + " left";
  text += "  http " + Bytes(info.httpBytes);
  if (info.peerBytes > 0) text += "  peers " + Bytes(info.peerBytes);
  return text;
}

// Owns the started engine and the task: stops both on every way out, so that
// the task's state file is written before the process ends.
class EngineRun {
 public:
  ~EngineRun() {
    if (hasTask) pf::StopTask(handle, 0);
    pf::StopEngine();
    // Queued events still go out before the process ends.
    if (telemetry) pf::StopDataUpload();
    pf::DestroyLog();
  }
  bool telemetry = false;
  pf::TaskHandle handle = 0;
  bool hasTask = false;
};

}  // namespace

int RunDownload(const std::vector<std::string>& args) {
  Options options;
  if (!Parse(args, &options)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  std::error_code error;
  const fs::path torrent = fs::absolute(options.torrent, error);
  if (!fs::is_regular_file(torrent)) {
    std::fprintf(stderr, "pftool download: %s: no such torrent file\n", options.torrent.c_str());
    return kExitFailed;
  }
  const fs::path target = fs::absolute(options.target, error).lexically_normal();
  if (fs::is_directory(target) || !target.has_filename()) {
    std::fprintf(stderr, "pftool download: %s: the target is a folder; name the file\n", options.target.c_str());
    return kExitFailed;
  }
  fs::create_directories(target.parent_path(), error);
  const fs::path state =
      options.resume.empty() ? fs::path(target.string() + ".pfinfo") : fs::absolute(options.resume, error);
  // A saved state continues the earlier run: the pieces it holds are not
  // fetched again.
  const bool recover = fs::is_regular_file(state);

  auto params = std::make_unique<pf::TaskParams>();  // zero-filled, as the engine wants it
  if (!CopyText(params->key, "file://" + torrent.string(), "torrent") ||
      !CopyText(params->target, target.string(), "target") ||
      !CopyText(params->resumePath, state.string(), "state file"))
    return kExitFailed;
  params->sourceList = options.sources.c_str();
  params->flags = pf::kTaskP2SP | pf::kTaskTargetIsFile | pf::kTaskRecorded;

  pf::CreateLog();
  pf::WithLog([&](pf::CPelicanfetchLog& log) {
    if (options.logBase.empty()) {
      log.SetThresholds(kLogOff, 2);
    } else {
      log.SetBasePath(fs::absolute(options.logBase, error).string().c_str());
    }
  });
  // The same proxy default as the application: [Proxy] of the task-link INI
  // in the working directory.
  if (pf::LoadDefaultProxy()) {
    const pf::QProxySettings proxy = pf::DefaultProxy();
    std::fprintf(stderr, "pftool download: connecting through the proxy of PelicanfetchTaskLink.ini (type %d, port %d)\n",
                 proxy.type, proxy.port);
  }
  pf::platform::InstallInterruptHandlers();

  EngineRun run;
  if (!options.telemetry.empty()) {
    run.telemetry = pf::StartTelemetry(options.telemetry.c_str(), "pftool-1.0");
    if (!run.telemetry)
      std::fprintf(stderr, "pftool download: telemetry not started (%s)\n", options.telemetry.c_str());
  }
  if (const int32_t started = pf::StartEngine("pftool"); started != pf::kOk) {
    std::fprintf(stderr, "pftool download: the engine did not start (%d)\n", started);
    return kExitFailed;
  }
  const int32_t created = recover ? pf::RecoverTask(params.get(), 0) : pf::CreateTask(params.get());
  if (created != pf::kOk) {
    // -107 still registers the task; it is stopped with the engine.
    std::fprintf(stderr, "pftool download: the engine did not %s the task (%d)\n", recover ? "recover" : "create",
                 created);
    return kExitFailed;
  }
  run.handle = params->handle;
  run.hasTask = true;
  if (options.limit >= 0) pf::SetTaskRateLimit(run.handle, 1, options.limit);
  if (recover) std::fprintf(stderr, "pftool download: continuing from %s\n", state.c_str());

  ProgressBar bar(target.filename().string());
  pf::TaskInfo info{};
  int64_t lastDone = -1;
  bool warnedHost = false;
  auto lastChange = Clock::now();
  const auto started = Clock::now();
  for (;;) {
    if (pf::platform::InterruptRequested()) {
      bar.Finish();
      pf::StopTask(run.handle, 0);
      run.hasTask = false;
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
    int32_t complete = 0;
    pf::IsTaskComplete(run.handle, &complete);
    if (complete) {
      bar.Show(10000, 10000, Figures(info));
      break;
    }
    bar.Show(info.progress, 10000, info.totalKB > 0 ? Figures(info) : std::string("starting"));
    if (const char* text = EndingStateText(info.state)) {
      bar.Finish();
      std::fprintf(stderr, "pftool download: failed with state %d: %s\n", info.state, text);
      return kExitFailed;
    }
    if (info.state == pf::kStateHostUnresolved && !warnedHost) {
      // The task goes on with its other sources.
      bar.Finish();
      std::fprintf(stderr, "pftool download: state %d: a source's host name did not resolve\n", info.state);
      warnedHost = true;
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
  pf::StopTask(run.handle, 0);
  run.hasTask = false;
  if (!fs::is_regular_file(target)) {
    std::fprintf(stderr, "pftool download: the task reported completion but %s is missing\n", target.c_str());
    return kExitFailed;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("complete: %s\n", target.c_str());
  std::printf("bytes: %" PRIu64 "\n", static_cast<uint64_t>(fs::file_size(target, error)));
  std::printf("http bytes: %" PRId64 "\n", info.httpBytes);
  std::printf("seconds: %.2f\n", seconds);
  return 0;
}

}  // namespace pftool
