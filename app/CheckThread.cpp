#include "app/CheckThread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/DownloadController.h"
#include "app/FileDigest.h"
#include "engine/base/CPelicanfetchLog.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

constexpr const char* kCaption = "Velmora下载器";
constexpr const char* kRepairFailed =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复";

std::string RepairCount(int repairs) {
  char text[64];
  std::snprintf(text, sizeof text, "修复次数：%d", repairs);
  return text;
}

}  // namespace

CheckThread::~CheckThread() { Stop(); }

void CheckThread::Stop() {
  stopRequested_ = true;
  Join();
}

void CheckThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool CheckThread::Start(std::function<void()> whenVerified) {
  Join();
  whenVerified_ = std::move(whenVerified);
  stopRequested_ = false;
  currentFile_ = 0;
  digestProgress_ = 0;
  running_ = true;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::exception& error) {
    LogLine(kLogApplication, "check thread not started: %s", error.what());
    running_ = false;
    return false;
  }
  return true;
}

uint32_t CheckThread::Progress() const {
  const PackageTable& package = controller_.Package();
  uint64_t weighted = 0, weights = 0;
  const int current = currentFile_;
  for (int i = 0; i < PackageTable::kFileCount; ++i) {
    const uint64_t w = package.files[i].size / 1048576;
    uint64_t value = 0;
    if (i < current) value = kProgressWhole;
    if (i == current) value = std::min<uint32_t>(digestProgress_.load(), kProgressWhole);
    weighted += w * value;
    weights += w;
  }
  return weights == 0 ? 0 : static_cast<uint32_t>(weighted / weights);
}

bool CheckThread::CheckFile(int index, bool keepActual) {
  const PackageFile& file = controller_.Package().files[index];
  currentFile_ = index;
  const std::string actual = FileMd5(controller_.TargetPath(index), &digestProgress_);
  if (actual != file.md5) {
    mismatchSeen_ = true;
    currentFile_ = index;
    digestProgress_ = 0;
    LogLine(kLogApplication, "MD5不匹配：%s，Except：%s，Actural：%s", file.fileName.c_str(), file.md5.c_str(), actual.c_str());
    if (keepActual) lastActual_ = actual;
    return false;
  }
  LogLine(kLogApplication, "MD5匹配：%s，Except：%s，Actural：%s", file.fileName.c_str(), file.md5.c_str(), actual.c_str());
  return true;
}

void CheckThread::Run() {
  mismatchSeen_ = false;
  const PackageTable& package = controller_.Package();
  for (int i = 0; i < PackageTable::kFileCount; ++i) {
    const std::string& name = package.files[i].fileName;
    int repairs = 0;
    lastActual_.clear();
    bool match = CheckFile(i, true);
    if (!match) {
      const std::string message = "MD5 unmatched (" + lastActual_ + ")";
      ReportFileEvent("11500201", name.c_str(), message.c_str());
    }
    while (!match && repairs < kMaxRepairs) {
      controller_.SetState(DownloadState::kCheckRecover);
      repairProgress_ = 0;
      repairSpeed_ = 0;
      if (controller_.Handle(i) != 0) StopTask(controller_.Handle(i), 0);
      bool reloaded = false;
      for (int attempt = 0; attempt < kReloadAttempts && !reloaded; ++attempt) reloaded = controller_.ReloadTask(i, true);
      if (!reloaded) {
        ShowMessageBoxAsync(nullptr, "修复出错，请尝试重新启动下载器", kCaption, 0);
        running_ = false;
        return;  // the state stays checkrecover
      }
      // A repair has no time-out of its own; only the program's exit ends
      // the wait.
      for (;;) {
        if (stopRequested_) {
          running_ = false;
          return;
        }
        TaskInfo info{};
        if (GetTaskInfo(controller_.Handle(i), &info) == kOk) {
          if (info.progress >= kProgressWhole) break;
          repairProgress_ = static_cast<uint32_t>(std::max(info.progress, 0));
          repairSpeed_ = static_cast<uint32_t>(std::max(info.speed, 0));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
      }
      controller_.Record().WriteFinishInfo(i, controller_.SavePath(), name);
      controller_.SetState(DownloadState::kMd5Checking);
      match = CheckFile(i, false);
      ++repairs;
      if (match) ReportFileEvent("11100003", name.c_str(), RepairCount(repairs).c_str());
    }
    if (!match) {
      ShowMessageBoxAsync(nullptr, kRepairFailed, kCaption, 0);
      ReportFileEvent("11990501", name.c_str(), RepairCount(repairs).c_str());
      controller_.SetState(DownloadState::kFailed);
      running_ = false;
      return;
    }
  }
  ReportEvent("11100004", "", 0);
  controller_.SetState(DownloadState::kCheckFinished);
  running_ = false;
  if (whenVerified_) whenVerified_();
}

}  // namespace pf
