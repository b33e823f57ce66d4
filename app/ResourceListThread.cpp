#include "app/ResourceListThread.h"

#include "app/HttpGetToString.h"
#include "engine/base/CPelicanfetchLog.h"

namespace pf {
namespace {

constexpr int kExpiryTimeoutSeconds = 2;

}  // namespace

ResourceListThread::ResourceListThread(ResourceListHost& host, std::string url, std::string caCertificates)
    : host_(host), url_(std::move(url)), caCertificates_(std::move(caCertificates)) {}

ResourceListThread::~ResourceListThread() {
  cancel_ = true;
  Wait();
}

void ResourceListThread::ReapFinished() {
  for (auto it = runs_.begin(); it != runs_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = runs_.erase(it);
    } else {
      ++it;
    }
  }
}

void ResourceListThread::Start() {
  std::lock_guard<std::mutex> lock(runsMutex_);
  ReapFinished();
  auto run = std::make_unique<Run>();
  Run* self = run.get();
  run->thread = std::thread([this, self] {
    lastResult_ = RunOnce();
    self->done = true;
  });
  runs_.push_back(std::move(run));
}

int ResourceListThread::Wait() {
  std::vector<std::unique_ptr<Run>> runs;
  {
    std::lock_guard<std::mutex> lock(runsMutex_);
    runs.swap(runs_);
  }
  for (auto& run : runs) run->thread.join();
  return lastResult_;
}

int ResourceListThread::RunOnce() {
  try {
    std::string body, error;
    long status = 0;
    HttpGetOptions options;
    options.caCertificates = caCertificates_;
    options.cancel = &cancel_;
    if (!HttpGetToString(url_, body, error, status, options)) {
      LogLine(kLogResourceList, "Seek res FAILED with XML content failed");
      return -1;
    }
    const ResourceListPlan plan = ReadResourceList(body, host_.ResourceListState());
    if (plan.p2pSwitch) {
      LogLine(kLogApplication, "%s", *plan.p2pSwitch ? "启用P2P功能" : "禁用P2P功能");
      host_.SetP2PSwitch(*plan.p2pSwitch);
    }
    for (size_t k = 0; k < plan.mirrors.size(); ++k) {
      const ResourceListMirror& mirror = plan.mirrors[k];
      if (k == 0) host_.ClearMirrors(mirror.file);
      host_.AddMirror(mirror.file, mirror.url, mirror.hostName);
    }
    return plan.result;
  } catch (...) {
    LogCaught(kLogResourceList, "ResourceListThread");
    return -3;
  }
}

ResourceListExpiry FetchResourceListExpiry(const std::string& url, const std::string& caCertificates) {
  std::string body, error;
  long status = 0;
  HttpGetOptions options;
  options.timeoutSeconds = kExpiryTimeoutSeconds;
  options.caCertificates = caCertificates;
  if (!HttpGetToString(url, body, error, status, options)) return {};
  return ReadResourceListExpiry(body);
}

}  // namespace pf
