#include "TaskSession.h"

#include "Command.h"
#include "SavedState.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/CPelicanfetchLogApi.h"
#include "engine/net/QProxySettings.h"
#include "platform/Interrupt.h"
#include "telemetry/ReportingCalls.h"

namespace pftool {
namespace {

namespace fs = std::filesystem;
constexpr int kExitFailed = 1;

bool ParseNumber(const std::string& value, long low, long high, int* out) {
  char* end = nullptr;
  const long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != 0 || number < low || number > high) return false;
  *out = static_cast<int>(number);
  return true;
}

// Copies a path into one of the engine's fixed text fields.
bool CopyText(const char* command, char (&field)[pf::kEngineTextSize], const std::string& text, const char* what) {
  if (text.size() >= sizeof(field)) {
    std::fprintf(stderr, "pftool %s: the %s path is too long\n", command, what);
    return false;
  }
  std::memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

bool ParseTaskOptions(const char* command, const std::vector<std::string>& args, TaskOptions* options) {
  const Command& table = CommandNamed(command);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (!table.FindOption(name)) {
      std::fprintf(stderr, "pftool %s: unknown option %s\n", command, name.c_str());
      return false;
    }
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "pftool %s: %s needs a value\n", command, name.c_str());
      return false;
    }
    const std::string& value = args[++i];
    if (name == "--torrent") {
      options->torrent = value;
    } else if (name == "--target") {
      options->target = value;
    } else if (name == "--source") {
      if (value.find_first_of("\r\n") != std::string::npos || value.empty()) {
        std::fprintf(stderr, "pftool %s: a source is one address\n", command);
        return false;
      }
      options->sources += value + "\n";
    } else if (name == "--limit" || name == "--upload-limit") {
      // The engine takes 0..32766 KB/s, 0 meaning unlimited.
      if (!ParseNumber(value, 0, 32766, name == "--limit" ? &options->limit : &options->uploadLimit)) {
        std::fprintf(stderr, "pftool %s: %s takes 0 to 32766 (KB/s, 0 = unlimited)\n", command, name.c_str());
        return false;
      }
    } else if (name == "--port") {
      if (!ParseNumber(value, 1, 65535, &options->port)) {
        std::fprintf(stderr, "pftool %s: --port takes 1 to 65535\n", command);
        return false;
      }
    } else if (name == "--peers") {
      if (!ParseNumber(value, 0, 1000, &options->peers)) {
        std::fprintf(stderr, "pftool %s: --peers takes 0 to 1000\n", command);
        return false;
      }
    } else if (name == "--interface") {
      options->localAddress = value;
    } else if (name == "--resume") {
      options->resume = value;
    } else if (name == "--log") {
      options->logBase = value;
    } else if (name == "--telemetry") {
      options->telemetry = value;
    } else if (name == "--ca-file") {
      options->caFile = value;
    } else {
      std::fprintf(stderr, "pftool %s: unknown option %s\n", command, name.c_str());
      return false;
    }
  }
  if (options->torrent.empty() || options->target.empty()) {
    std::fprintf(stderr, "pftool %s: --torrent and --target are needed\n", command);
    return false;
  }
  return true;
}

int TaskSession::Start(const TaskOptions& options, bool seeding) {
  std::error_code error;
  const fs::path torrent = fs::absolute(options.torrent, error);
  if (!fs::is_regular_file(torrent)) {
    std::fprintf(stderr, "pftool %s: %s: no such torrent file\n", command_, options.torrent.c_str());
    return kExitFailed;
  }
  layout = ResolveTarget(torrent, options.target, seeding);
  if (!layout.problem.empty()) {
    std::fprintf(stderr, "pftool %s: %s\n", command_, layout.problem.c_str());
    return kExitFailed;
  }
  const fs::path& target = layout.target;
  fs::create_directories(layout.multiFile ? target : target.parent_path(), error);
  const fs::path state =
      options.resume.empty() ? fs::path(layout.root.string() + ".pfinfo") : fs::absolute(options.resume, error);
  targetPath = layout.root.string();
  statePath = state.string();
  // A saved state continues the earlier run: the pieces it holds are not
  // fetched again. One that cannot be read, or that another torrent's
  // download left, is set aside (never continued, never deleted).
  const SavedState saved = InspectSavedState(state, torrent);
  if (saved.kind == SavedStateKind::kUnreadable || saved.kind == SavedStateKind::kOtherTorrent) {
    const bool other = saved.kind == SavedStateKind::kOtherTorrent;
    const std::string aside = SetStateAside(state, other ? ".other" : ".unreadable");
    if (other)
      std::fprintf(stderr, "pftool %s: %s is the state of another torrent (%s, not %s)", command_,
                   statePath.c_str(), saved.savedInfoHash.c_str(), saved.infoHash.c_str());
    else
      std::fprintf(stderr, "pftool %s: %s is not a readable task state", command_, statePath.c_str());
    if (aside.empty()) {
      std::fprintf(stderr, " and cannot be moved aside; give another with --resume\n");
      return kExitFailed;
    }
    std::fprintf(stderr, "; kept as %s, starting afresh\n", aside.c_str());
  }
  recovered = saved.kind == SavedStateKind::kThisTorrent;

  auto params = std::make_unique<pf::TaskParams>();  // zero-filled, as the engine wants it
  if (!CopyText(command_, params->key, "file://" + torrent.string(), "torrent") ||
      !CopyText(command_, params->target, layout.multiFile ? target.string() + "/" : target.string(), "target") ||
      !CopyText(command_, params->resumePath, state.string(), "state file"))
    return kExitFailed;
  params->sourceList = options.sources.c_str();
  params->flags = pf::kTaskP2SP | pf::kTaskRecorded | (layout.multiFile ? 0u : pf::kTaskTargetIsFile);

  pf::CreateLog();
  pf::WithLog([&](pf::CPelicanfetchLog& log) {
    if (options.logBase.empty()) {
      log.SetThresholds(pf::CPelicanfetchLogApi::kOff, 2);
    } else {
      log.SetBasePath(fs::absolute(options.logBase, error).string().c_str());
      // Every channel goes to its file, not only the dump channel.
      log.SetThresholds(0, 2);
    }
  });
  // The same proxy default as the application: [Proxy] of the task-link INI
  // in the working directory.
  if (pf::LoadDefaultProxy()) {
    const pf::QProxySettings proxy = pf::DefaultProxy();
    std::fprintf(stderr, "pftool %s: connecting through the proxy of PelicanfetchTaskLink.ini (type %d, port %d)\n",
                 command_, proxy.type, proxy.port);
  }
  pf::platform::InstallInterruptHandlers();

  if (!options.telemetry.empty()) {
    telemetry_ = pf::StartTelemetry(options.telemetry.c_str(), "pftool-1.0");
    if (!telemetry_) std::fprintf(stderr, "pftool %s: telemetry not started (%s)\n", command_, options.telemetry.c_str());
  }
  if (pf::SetLocalAddress(options.localAddress.c_str()) != pf::kOk) {
    std::fprintf(stderr, "pftool %s: --interface takes an IPv4 address\n", command_);
    return kExitFailed;
  }
  if (options.port != 0) pf::SetListenPort(options.port);
  if (!options.caFile.empty()) {
    std::ifstream in(options.caFile, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || pf::AddTrustedCertificates(pem.c_str()) < 0) {
      std::fprintf(stderr, "pftool %s: --ca-file %s: no PEM certificate could be read\n", command_,
                   options.caFile.c_str());
      return kExitFailed;
    }
  }
  if (const int32_t started = pf::StartEngine("pftool"); started != pf::kOk) {
    std::fprintf(stderr, "pftool %s: the engine did not start (%d)\n", command_, started);
    return kExitFailed;
  }
  engineStarted_ = true;
  const int32_t created = recovered ? pf::RecoverTask(params.get(), 0) : pf::CreateTask(params.get());
  if (created != pf::kOk) {
    // -107 still registers the task; it is stopped with the engine.
    std::fprintf(stderr, "pftool %s: the engine did not %s the task (%d)\n", command_,
                 recovered ? "recover" : "create", created);
    return kExitFailed;
  }
  handle = params->handle;
  hasTask_ = true;
  pf::SetTaskConnectionLimits(handle, 49, options.peers);
  if (options.limit >= 0) pf::SetTaskRateLimit(handle, 1, options.limit);
  if (options.uploadLimit >= 0) pf::SetTaskRateLimit(handle, 0, options.uploadLimit);
  return 0;
}

void TaskSession::StopTask() {
  if (!hasTask_) return;
  pf::StopTask(handle, 0);
  hasTask_ = false;
}

TaskSession::~TaskSession() {
  StopTask();
  if (engineStarted_) pf::StopEngine();
  // Queued events still go out before the process ends.
  if (telemetry_) pf::StopDataUpload();
  pf::DestroyLog();
}

}  // namespace pftool
