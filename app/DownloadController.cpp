#include "app/DownloadController.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/CheckThread.h"
#include "app/EmbeddedPackage.h"
#include "app/FigureFormats.h"
#include "app/ListenPortChoice.h"
#include "app/OverallProgress.h"
#include "app/ProgramVersion.h"
#include "app/ResourceExtraction.h"
#include "app/TaskShares.h"
#include "engine/base/CPelicanfetchLog.h"
#include "platform/FileSystem.h"
#include "platform/ProgramLauncher.h"
#include "platform/SystemFolders.h"
#include "platform/Volume.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

constexpr const char* kCaption = "Velmora下载器";
constexpr uint32_t kSpeedThreshold = 1024;   // bytes a second that count as downloading
constexpr uint32_t kReportEverySeconds = 300;
constexpr uint32_t kTaskFlags = kTaskTargetIsFile | kTaskRecorded;
constexpr uint64_t kMiB = 1048576;

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder + name;
  return folder + "/" + name;
}

void CopyText(char* field, size_t size, const std::string& text) { std::snprintf(field, size, "%s", text.c_str()); }

// What the user is told when the installer does not start.
const char* LaunchErrorText(platform::LaunchResult result) {
  switch (result) {
    case platform::LaunchResult::kFileNotFound: return "The specified file was not found.";
    case platform::LaunchResult::kPathNotFound: return "The specified path was not found.";
    case platform::LaunchResult::kAccessDenied: return "The operating system denied access to the specified file.";
    case platform::LaunchResult::kOutOfMemory: return "There was not enough memory to complete the operation.";
    case platform::LaunchResult::kBadFormat: return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
    case platform::LaunchResult::kSharingViolation: return "A sharing violation occurred.";
    case platform::LaunchResult::kNoAssociation:
      return "There is no application associated with the given file name extension. This error will also be "
             "returned if you attempt to print a file that is not printable.";
    default: return "Unknown open failed";
  }
}

}  // namespace

std::string DownloadController::DataFolderPath(const PackageTable& package) {
  return platform::ApplicationDataFolder() + "/QWVA/Pelicanfetch/Pelicanfetch" + package.packageId;
}

DownloadController::DownloadController(const PackageTable& package, std::string dataFolder, int httpBudget)
    : package_(package),
      dataFolder_(std::move(dataFolder)),
      httpBudget_(httpBudget),
      record_(JoinPath(dataFolder_, package.packageId + ".pfconf")),
      checker_(std::make_unique<CheckThread>(*this)),
      portMapping_(StandardPortMappingOutlet(), [this](std::function<void()> work) {
        if (postToWindow)
          postToWindow(std::move(work));
        else
          work();
      }) {
  if (!package_.resourceListUrl.empty())
    resourceList_ = std::make_unique<ResourceListThread>(*this, package_.resourceListUrl, package_.caCertificates);
}

DownloadController::~DownloadController() {
  resourceList_.reset();  // its runs call back into this object
  if (checker_) checker_->Stop();
}

int DownloadController::Initialise() {
  CreateLog();
  diskShort_ = false;
  rateLimit_ = 0;
  {
    std::lock_guard<std::recursive_mutex> step(stepMutex_);
    lastHttpBytes_ = {};
    lastPeerBytes_ = {};
    speedMeter_ = SpeedMeter();
  }
  platform::CreateDirectories(dataFolder_.c_str());
  const std::string logBase = JoinPath(dataFolder_, package_.packageId);
  WithLog([&](CPelicanfetchLog& log) { log.SetBasePath(logBase.c_str()); });
  Log("=====================正在初始化=====================");

  const Extraction config = ExtractResource(DecodedEmbeddedResource(kTelemetryConfigResourceType,
                                                                    kTelemetryConfigResource),
                                            dataFolder_, kTelemetryConfigName);
  if (config.place == Extraction::Place::kNowhere) {
    Log("PFconf资源释放失败");
    ReportEvent("11400190", "PFconf资源释放失败", 0);
    return kCannotConfigureTelemetry;
  }
  telemetryConfigPath_ = config.path;
  StartTelemetry(telemetryConfigPath_.c_str(), ProgramVersionText());

  SetListenPort(chooseListenPort ? chooseListenPort() : portMapping_.Start(ChooseFreeListenPort));
  // The package's own HTTPS mirrors are signed by its CA, as its resource
  // list's server is.
  if (!package_.caCertificates.empty() && AddTrustedCertificates(package_.caCertificates.c_str()) < 0)
    Log("the package's CA certificates cannot be read");
  for (int i = 0; i < kFileCount; ++i) {
    handles_[i] = 0;
    std::memset(&params_[i], 0, sizeof params_[i]);
  }
  installerStarted_ = false;
  exitDone_ = false;
  Log("自我恢复功能关闭");
  httpBudget_ = TaskLinkFile::HttpConnectionBudget();
  return DecideStart();
}

bool DownloadController::CheckExpiry() {
  if (package_.resourceListUrl.empty()) return false;
  const ResourceListExpiry expiry = FetchResourceListExpiry(package_.resourceListUrl, package_.caCertificates);
  if (!expiry.expired) return false;
  Log("下载器已过期");
  Message(expiry.message);
  // The address comes from a server: only a web address is opened.
  if (expiry.url.rfind("http://", 0) == 0 || expiry.url.rfind("https://", 0) == 0) {
    if (openAddress)
      openAddress(expiry.url);
    else
      platform::OpenWithDesktop(expiry.url);
  }
  return true;
}

void DownloadController::Log(const char* format, ...) const {
  char line[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  LogLine(kLogChannel, "%s", line);
}

void DownloadController::Message(const std::string& text) const {
  ShowMessageBoxAsync(nullptr, text.c_str(), kCaption, 0);
}

std::string DownloadController::TargetPath(int index) const {
  return JoinPath(savePath_, package_.files[index].fileName);
}

std::string DownloadController::ChooseDefaultSaveFolder() const {
  std::string best;
  uint64_t mostFree = 0;
  for (const std::string& folder : platform::SaveFolderCandidates()) {
    const uint64_t free = GetDiskFreeBytes(folder.c_str());
    if (best.empty() || free > mostFree) {
      best = folder;
      mostFree = free;
    }
  }
  if (best.empty()) best = "/tmp";
  return JoinPath(best, kFolderName);
}

void DownloadController::SetDefaultResumePaths(const std::string& taskHash) {
  const std::string folder = JoinPath(dataFolder_, taskHash + "PFInfo");
  platform::CreateDirectories(folder.c_str());
  for (int i = 0; i < kFileCount; ++i) resumePaths_[i] = JoinPath(folder, package_.files[i].fileName + ".pfinfo");
}

void DownloadController::SpaceModeCheck(const std::string& path) {
  switch (platform::SparseFileSupport(path)) {
    case platform::SparseFiles::kSupported:
      Log("文件系统支持稀疏文件");
      sparseMode_ = true;
      break;
    case platform::SparseFiles::kUnsupported:
      Log("文件系统^不^支持稀疏文件");
      sparseMode_ = false;
      break;
    case platform::SparseFiles::kUnknown:
      break;
  }
}

bool DownloadController::CheckFinishInfo(int index) const {
  return record_.CheckFinishInfo(index, savePath_, package_.files[index].fileName);
}

int DownloadController::DecideStart() {
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  StartKind kind = StartKind::kFresh;
  reloadList_.clear();
  if (!record_.Exists()) {
    platform::CreateDirectories(dataFolder_.c_str());
    taskHash_ = package_.packageId;
    savePath_ = ChooseDefaultSaveFolder();
    entrance_ = package_.InstallerName();
    SetDefaultResumePaths(taskHash_);
  } else {
    int missingKeys = 0;
    if (!record_.HasCreateTime()) ++missingKeys;
    const std::string hash = record_.TaskHash(std::string());
    if (hash.empty()) ++missingKeys;
    taskHash_ = hash.empty() ? package_.packageId : hash;
    savePath_ = record_.SavePath();
    if (savePath_.empty()) {
      ++missingKeys;
      savePath_ = ChooseDefaultSaveFolder();
    }
    bool check = false;
    int missing = 0;
    if (record_.IsComplete()) {
      for (int i = 0; i < kFileCount; ++i) missing += platform::PathExists(TargetPath(i).c_str()) ? 0 : 1;
      check = missing == 0;
    } else {
      for (int i = 0; i < kFileCount; ++i) {
        const std::string target = TargetPath(i);
        if (platform::PathExists(target.c_str()))
          check = true;
        else if (!platform::PathExists((target + ".pftmp").c_str()))
          ++missing;
      }
    }
    if (check) {
      bool allPass = true;
      for (int i = 0; i < kFileCount; ++i) {
        if (CheckFinishInfo(i)) continue;
        allPass = false;
        reloadList_.push_back(i);
      }
      kind = allPass ? StartKind::kComplete : StartKind::kNeedsCheck;
    } else {
      kind = missing == kFileCount ? StartKind::kLost : StartKind::kResumable;
    }
    const std::string entrance = record_.Entrance(std::string());
    if (entrance.empty()) ++missingKeys;
    entrance_ = entrance.empty() ? package_.InstallerName() : entrance;
    SetDefaultResumePaths(taskHash_);
    for (int i = 0; i < kFileCount; ++i) {
      const std::string stored = record_.ResumePath(i);
      if (!stored.empty()) resumePaths_[i] = stored;
    }
    if (missingKeys == 4) kind = StartKind::kFresh;
  }

  switch (kind) {
    case StartKind::kFresh:
      state_ = DownloadState::kReady;
      break;
    case StartKind::kLost:
      Log("目标文件全部丢失，退回初始状态");
      record_.Delete();
      state_ = DownloadState::kReady;
      Message("目标文件被删除或移动，请重新下载");
      savePath_ = ChooseDefaultSaveFolder();
      break;
    case StartKind::kComplete:
      Log("下载已经完成，文件正确");
      SpaceModeCheck(savePath_);
      state_ = DownloadState::kFinished;
      break;
    case StartKind::kNeedsCheck:
      Log("需要文件校验");
      SpaceModeCheck(savePath_);
      state_ = DownloadState::kReload;
      break;
    case StartKind::kResumable:
      Log("成功地恢复了下载，可以进行续传");
      SpaceModeCheck(savePath_);
      state_ = DownloadState::kRecover;
      break;
  }
  const DownloadState s = state_;
  if (s == DownloadState::kRecover || s == DownloadState::kReload || s == DownloadState::kFinished ||
      s == DownloadState::kRetry) {
    ReloadAtStartUp();
    return 1;
  }
  return 0;
}

void DownloadController::WriteRecord() {
  TaskRecordFile::RecordWrite write;
  write.taskHash = taskHash_;
  const DownloadState s = state_;
  write.withFiles = s == DownloadState::kBack || s == DownloadState::kReady;
  for (int i = 0; i < kFileCount; ++i) {
    write.urls[i] = package_.files[i].url;
    write.fileNames[i] = package_.files[i].fileName;
  }
  if (savePath_.empty()) savePath_ = ChooseDefaultSaveFolder();
  if (entrance_.empty()) entrance_ = package_.InstallerName();
  write.entrance = entrance_;
  write.installerName = package_.InstallerName();
  write.folder = kFolderName;
  record_.WriteRecord(write);
  downloadTime_.Reset();
  SetHttpPreamble(1);
}

std::string DownloadController::ExtractTorrent(int index) {
  const PackageFile& file = package_.files[index];
  if (file.torrent.empty()) return std::string();
  const Extraction written = ExtractResource(file.torrent, dataFolder_, file.md5);
  return written.path.empty() ? std::string() : "file://" + written.path;
}

void DownloadController::FillParams(int index, TaskParams& p, bool forReload) {
  p.flags = kTaskFlags;
  p.sourceList = package_.files[index].url.c_str();
  const std::string key = ExtractTorrent(index);
  if (!key.empty()) {
    CopyText(p.key, sizeof p.key, key);
    p.flags |= kTaskP2SP;
  } else if (forReload) {
    ReportEvent("11400101", "PFconf资源释放失败", 0);
  } else {
    Log("Torent 资源释放失败");
    ReportEvent("11400190", "Torent 资源释放失败", 0);
  }
  CopyText(p.target, sizeof p.target, TargetPath(index));
  CopyText(p.resumePath, sizeof p.resumePath, resumePaths_[index]);
}

void DownloadController::CreateOneTask(int index) {
  TaskParams& p = params_[index];
  std::memset(&p, 0, sizeof p);
  complete_[index] = false;
  FillParams(index, p, false);
  if (CreateTask(&p) == kOk) handles_[index] = p.handle;
  ranThisRun_ = true;
  ApplyRateLimit(rateLimit_);
}

bool DownloadController::ReloadTask(int index, bool force) {
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  if (package_.files[index].url.empty()) Message("下载源出错，请验证这个下载工具的md5是否正确");
  TaskParams& p = params_[index];
  FillParams(index, p, true);
  const int32_t r = RecoverTask(&p, force ? 1 : 0);
  if (r != kOk) {
    if (force) reloadFailed_ = true;
    Log("Reload 失败");
    char text[64];
    std::snprintf(text, sizeof text, "ErrorCode : %d", r);
    Message(text);
    return false;
  }
  if (force) reloadFailed_ = false;
  Log("Reload 成功");
  handles_[index] = p.handle;
  record_.WriteReloadedFile(index, package_.files[index].fileName);
  return true;
}

void DownloadController::ReloadAtStartUp() {
  WriteRecord();
  if (StartEngine(dataFolder_.c_str()) != kOk) {
    Log("Reload Download Task] [环境初始化失败");
    ReportEvent("11400101", "继续下载：环境初始化失败", 0);
    Message("下载启动失败请重试");
  } else {
    for (int i = 0; i < kFileCount; ++i)
      if (!CheckFinishInfo(i) && std::find(reloadList_.begin(), reloadList_.end(), i) == reloadList_.end())
        reloadList_.push_back(i);
    std::sort(reloadList_.begin(), reloadList_.end());
    size_t next = 0;
    for (int i = 0; i < kFileCount; ++i) {
      if (next < reloadList_.size() && reloadList_[next] == i) {
        ReloadTask(i, false);
        ++next;
      } else {
        complete_[i] = true;
      }
    }
  }
  bool workLeft = false;
  for (int i = 0; i < kFileCount; ++i) workLeft |= Answers(i) && !complete_[i];
  if (workLeft) {
    ReportEvent("11030000", "", 0);
    ranThisRun_ = true;
    ApplyRateLimit(rateLimit_);
    RunConnectionBudgets();
  } else {
    ranThisRun_ = false;
  }
}

void DownloadController::StartDownload() {
  if (GetDiskFreeBytes(savePath_.c_str()) < package_.RequiredSpace()) {
    Message("当前磁盘空间不足，请选择其他位置存放");
    diskShort_ = true;
    return;
  }
  ReportEvent("11010000", "", 7);
  WriteRecord();
  record_.WriteSavePath(savePath_);
  SpaceModeCheck(savePath_);
  if (StartEngine(dataFolder_.c_str()) != kOk) {
    Log("Begin Download Task] [环境初始化失败");
    ReportEvent("11400101", "Begin Download Task 环境初始化失败", 0);
    Message("下载启动失败请重试");
  } else {
    for (int i = 0; i < kFileCount; ++i) CreateOneTask(i);
    // Peers are let in from the start: a task's peer limit is 0 until it is
    // given one, and a package whose servers all fail would otherwise never
    // reach the speed that hands out the budgets.
    RunConnectionBudgets();
  }
  ApplyRateLimit(rateLimit_);
  state_ = DownloadState::kPreparing;
}

void DownloadController::Pause(bool report) {
  if (report) TransferReport("11020000", nullptr);
  std::vector<TaskHandle> running;
  for (const auto& h : handles_)
    if (h != 0) running.push_back(h);
  if (!running.empty()) {
    std::vector<int32_t> results(running.size());
    StopTasks(running.data(), static_cast<uint32_t>(running.size()), 0, results.data());
  }
  state_ = DownloadState::kPause;
}

void DownloadController::Resume() {
  ReportEvent("11030000", "", 0);
  for (int i = 0; i < kFileCount; ++i) {
    if (CheckFinishInfo(i)) continue;
    complete_[i] = false;
    if (handles_[i] != 0) ResumeTask(handles_[i]);
  }
  state_ = DownloadState::kResume;
}

void DownloadController::MainAction() {
  std::unique_lock<std::recursive_mutex> step(stepMutex_);
  switch (state_.load()) {
    case DownloadState::kBack:
    case DownloadState::kReady:
      if (!diskShort_ || GetDiskFreeBytes(savePath_.c_str()) >= package_.RequiredSpace()) StartDownload();
      break;
    case DownloadState::kDownloading:
    case DownloadState::kResume:
      Pause(true);
      break;
    case DownloadState::kPause:
      Resume();
      break;
    case DownloadState::kFinished:
      ReportEvent("11070000", "", 0);
      // The timers go on while the user thinks about the question.
      step.unlock();
      AskToVerify();
      break;
    case DownloadState::kMd5Checking:
      Message("MD5计算工作中……请等待完成");
      break;
    case DownloadState::kCheckRecover:
      Message("部分文件错误，正在修复中...");
      break;
    case DownloadState::kCheckFinished:
      ReportEvent("11070000", "点击时已经验证过安装包分卷了", 0);
      StartInstaller(true);
      break;
    default:
      break;
  }
}

void DownloadController::AskToVerify() {
  const bool verify = !askYesNo || askYesNo("是否验证安装文件的正确性？", kCaption);
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  if (!verify) {
    ReportEvent("11100002", "", 0);
    StartInstaller(false);
    return;
  }
  ReportEvent("11100001", "", 0);
  StartVerification(true);
}

void DownloadController::StartVerification(bool installAfterCheck) {
  switch (state_.load()) {
    case DownloadState::kCheckRecover:
      Message("部分文件错误，正在修复中...");
      return;
    case DownloadState::kMd5Checking:
      Message("MD5计算工作中……请等待完成");
      return;
    case DownloadState::kCheckFinished:
      StartInstaller(true);
      return;
    case DownloadState::kFailed:
      if (OverallProgress() == kProgressWhole)
        Message("修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复");
      else
        Message("请先将客户端下载完成，再点击检查按钮");
      return;
    case DownloadState::kFinished:
      break;
    default:
      Message("请先将客户端下载完成，再点击检查按钮");
      return;
  }
  state_ = DownloadState::kMd5Checking;
  WriteRecord();
  std::function<void()> whenVerified;
  if (installAfterCheck) whenVerified = [this] {
      if (postMainAction) postMainAction();
    };
  if (!checker_->Start(std::move(whenVerified))) {
    state_ = DownloadState::kFinished;
    Message("检查线程创建失败，请重试");
  }
}

void DownloadController::StartInstaller(bool verified) {
  const DownloadState before = state_;
  state_ = DownloadState::kInstalling;
  const std::string path = JoinPath(savePath_, entrance_);
  if (!platform::PathExists(path.c_str())) {
    ShowMessageBoxAsync(nullptr, "安装程序丢失", "安装失败", 0);
    ReportFileEvent("11600102", entrance_.c_str(), "用户点击安装按钮，但是找不到安装程序，安装失败");
    Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
    return;  // the next one-second tick finds the files complete again
  }
  const platform::LaunchResult result = platform::LaunchProgram(path, savePath_);
  state_ = before;
  if (result != platform::LaunchResult::kStarted) {
    const std::string reason = std::string("安装程序无法正常打开，原因：") +
                               (verified ? "本次安装前通过了校验" : "本次安装前没有校验") + LaunchErrorText(result);
    ShowMessageBoxAsync(nullptr, "安装程序无法正常打开", "安装失败", 0);
    Log("%s", reason.c_str());
    ReportFileEvent("11600101", entrance_.c_str(), reason.c_str());
    return;
  }
  Log("开始安装] [用户点击安装按钮");
  installerStarted_ = true;
  if (endProgram) endProgram();
}

void DownloadController::ExitSteps(bool userExit) {
  if (exitDone_.exchange(true)) return;
  if (checker_) checker_->Stop();
  portMapping_.Stop();
  const DownloadState s = state_;
  if (userExit) {
    Log("用户点击退出按钮");
    if (s != DownloadState::kFinished && s != DownloadState::kBack && s != DownloadState::kReady)
      TransferReport("11040000", nullptr);
    Log("=====================退出=====================");
  } else if (installerStarted_) {
    Log("由于启动了安装程序，退出");
    Log("=====================退出=====================");
  } else {
    TransferReport("11990501", "Unknow Exit, maybe crashed");
    Log("遭遇意外退出");
    state_ = DownloadState::kExited;
    Log("=====================已退出=====================");
  }
  StopDataUpload();
  DestroyLog();
  StopEngine();
}

void DownloadController::SetSavePath(const std::string& path) {
  const DownloadState s = state_;
  if (s == DownloadState::kBack || s == DownloadState::kReady) savePath_ = path;
}

bool DownloadController::Answers(int index, TaskInfo* info) const {
  const TaskHandle h = handles_[index];
  if (h == 0) return false;
  TaskInfo local;
  return GetTaskInfo(h, info ? info : &local) == kOk;
}

int32_t DownloadController::TaskProgress(int index) const {
  TaskInfo info;
  return Answers(index, &info) ? info.progress : 0;
}

int DownloadController::ActiveTaskCount() const {
  int n = 0;
  for (int i = 0; i < kFileCount; ++i) n += Answers(i) && !complete_[i] ? 1 : 0;
  return n;
}

void DownloadController::ApplyRateLimit(int kilobytesPerSecond) {
  const int rate = kilobytesPerSecond == 0 ? kNoRateLimitKB : kilobytesPerSecond;
  rateLimit_ = rate;
  const int share = TaskRateShare(rate, ActiveTaskCount());
  for (const auto& h : handles_)
    if (h != 0) SetTaskRateLimit(h, 1, share);
}

void DownloadController::SetP2PSwitch(bool on) {
  p2pOn_ = on;
  SetP2PEnabled(on ? 1 : 0);
}

ResourceListContext DownloadController::ResourceListState() const {
  ResourceListContext context;
  for (int i = 0; i < kFileCount; ++i) {
    context.packageUrls[i] = package_.files[i].url;
    context.complete[i] = complete_[i];
  }
  context.fileBeingVerified = checker_->Running() ? checker_->CurrentFile() : -1;
  return context;
}

void DownloadController::ClearMirrors(int file) { ClearMirrorSources(handles_[file]); }

void DownloadController::AddMirror(int file, const std::string& url, const std::string& hostName) {
  AddMirrorSource(handles_[file], url.c_str(), hostName.c_str());
}

void DownloadController::RunConnectionBudgets() {
  std::vector<int> active;
  for (int i = 0; i < kFileCount; ++i)
    if (Answers(i) && !complete_[i]) active.push_back(i);
  const int n = static_cast<int>(active.size());
  if (n == lastBudgetTasks_ && httpBudget_ == lastBudget_) return;
  lastBudgetTasks_ = n;
  lastBudget_ = httpBudget_;
  const std::vector<ConnectionShare> shares = SplitConnectionBudgets(httpBudget_, kPeerConnectionBudget, n);
  for (int k = 0; k < n; ++k) SetTaskConnectionLimits(handles_[active[k]], shares[k].servers, shares[k].peers);
}

void DownloadController::DetectFinishedFiles() {
  for (int i = 0; i < kFileCount; ++i)
    if (!complete_[i] && Answers(i)) DetectFinishedFile(i);
}

void DownloadController::DetectFinishedFile(int index) {
  int32_t done = 0;
  if (IsTaskComplete(handles_[index], &done) != kOk || done == 0) return;
  complete_[index] = true;
  record_.WriteFinishInfo(index, savePath_, package_.files[index].fileName);
  ApplyRateLimit(rateLimit_);
  ReportFileEvent("11080000", package_.files[index].fileName.c_str(), "");
}

void DownloadController::ReactToCode(int32_t code) {
  if (code == 0 || code == lastCodeReacted_) return;
  lastCodeReacted_ = code;
  switch (code) {
    case kStateNoMetadata:
      TransferReport("11990202", nullptr);
      Message("网络连接超时，下载失败");
      break;
    case kStateDiskFull:
      if (state_ == DownloadState::kDownloading) Pause(false);
      diskShort_ = true;
      TransferReport("11990301", nullptr);
      Message("磁盘空间不足，请检查并重新启动下载器！");
      break;
    case kStateGaveUp:
      Message("下载出错，请重试");
      break;
    case kStateSizeUnreadable:
      state_ = DownloadState::kFailed;
      Message("由于磁盘损坏无法写入，下载失败");
      break;
    default:
      break;
  }
}

uint32_t DownloadController::OverallProgress() {
  // The front end's thread asks too: what it notices (finished files, codes)
  // is written under the same lock as the timers' steps.
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  pf::OverallProgress progress;
  for (int i = 0; i < kFileCount; ++i) {
    TaskInfo info;
    if (complete_[i]) {
      progress.AddComplete(package_.files[i].size);
    } else if (Answers(i, &info)) {
      DetectFinishedFile(i);
      if (info.state != lastCodeRead_) {
        lastCodeRead_ = info.state;
        ReactToCode(info.state);
      }
      progress.AddAnswering(info.totalKB, info.progress, complete_[i]);
    }
  }
  return progress.Value();
}

uint64_t DownloadController::TotalBytesPresent() {
  uint64_t total = 0;
  for (int i = 0; i < kFileCount; ++i) {
    TaskInfo info;
    if (Answers(i, &info)) {
      total += static_cast<uint64_t>(std::max<int64_t>(info.doneBytes, 0));
    } else {
      const int64_t held = GetFileAllocatedSize(TargetPath(i).c_str());
      if (held > 0) total += static_cast<uint64_t>(held);
    }
  }
  const DownloadState s = state_;
  const bool recorded = s != DownloadState::kBack && s != DownloadState::kReady && s != DownloadState::kInstalling &&
                        s != DownloadState::kPause && s != DownloadState::kFailed && s != DownloadState::kFinished &&
                        s != DownloadState::kMd5Checking && s != DownloadState::kExited;
  lastSize_.Update(record_, total, recorded);
  lastTotal_ = total;
  return total;
}

uint32_t DownloadController::MeasureSpeed() {
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  SetP2PEnabled(p2pOn_ ? 1 : 0);
  const bool active = IsActiveState(state_);
  uint64_t total = 0;
  if (active) {
    for (int i = 0; i < kFileCount; ++i) {
      TaskInfo info;
      if (!complete_[i] && Answers(i, &info)) total += static_cast<uint64_t>(std::max(info.speed, 0));
    }
    if (total > kSpeedThreshold) {
      state_ = DownloadState::kDownloading;
      RunConnectionBudgets();
    }
  }
  if (speedMeter_.CountQuery(state_) && resourceList_) resourceList_->Start();
  if (!active) return 0;
  const int rate = rateLimit_;
  return speedMeter_.Smooth(total, rate == kNoRateLimitKB ? 0 : rate);
}

std::string DownloadController::SpeedText() {
  const uint32_t speed = MeasureSpeed();
  const DownloadState s = state_;
  if (IsActiveState(s)) return FormatSpeed(speed);
  return s == DownloadState::kCheckRecover ? std::string() : FormatSpeed(0);
}

std::string DownloadController::PackageSizeText() const {
  return pf::SizeText(lastTotal_, package_.TotalSize(), state_ == DownloadState::kFinished);
}

void DownloadController::TransferReport(const char* eventCode, const char* message) {
  uint64_t http = 0, peer = 0;
  for (int i = 0; i < kFileCount; ++i) {
    TaskInfo info;
    if (Answers(i, &info)) {
      lastHttpBytes_[i] = static_cast<uint64_t>(std::max<int64_t>(info.httpBytes, 0));
      lastPeerBytes_[i] = static_cast<uint64_t>(std::max<int64_t>(info.peerBytes, 0));
    }
    http += lastHttpBytes_[i];
    peer += lastPeerBytes_[i];
  }
  const uint64_t total = http + peer;
  const uint32_t seconds = downloadTime_.ActiveSeconds();
  const auto average = [seconds](uint64_t bytes) { return seconds == 0 ? 0 : bytes / seconds; };
  const std::string progress = FormatPercent(OverallProgress());
  ReportTransfer(eventCode, "", "", seconds, total, average(total), progress.c_str(), http, average(http), peer,
                 average(peer), 0, "", "", message ? message : "", 0);
}

void DownloadController::SetSystemShutdown(std::unique_ptr<platform::SystemShutdown> shutdown) {
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  shutdown_ = std::move(shutdown);
}

void DownloadController::ShutDownTheComputer() {
  if (!shutdown_ || !shutdown_->ScheduleInOneMinute("一分钟后将自动关机")) Message("自动关机失败，请手动关机");
}

void DownloadController::EnterFinished() {
  for (int i = 0; i < kFileCount; ++i) record_.WriteFinishInfo(i, savePath_, package_.files[i].fileName);
  if (ranThisRun_) TransferReport("11060000", nullptr);
  ApplyRateLimit(rateLimit_);
}

DownloadState DownloadController::EvaluateState() {
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  const uint32_t progress = OverallProgress();
  lastProgress_ = progress;
  uint64_t total = TotalBytesPresent();
  if (sparseMode_) {
    const uint64_t required = package_.RequiredSpace();
    const uint64_t free = GetDiskFreeBytes(savePath_.c_str());
    if (free + total >= required) {
      diskShort_ = false;
      if (state_ == DownloadState::kBack) state_ = DownloadState::kReady;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      total = TotalBytesPresent();
      if (GetDiskFreeBytes(savePath_.c_str()) + total + PackageTable::kSpareBytes < required) {
        const DownloadState s = state_;
        if (s == DownloadState::kReady) {
          state_ = DownloadState::kBack;
          Message("当前磁盘空间不足，请选择其他位置存放。");
        } else if (s == DownloadState::kDownloading) {
          Pause(false);
          TransferReport("11990301", nullptr);
          Message("预留磁盘空间不足，下载暂停。");
        }
        if (s == DownloadState::kBack || s == DownloadState::kReady || s == DownloadState::kDownloading ||
            s == DownloadState::kPause)
          diskShort_ = true;
      }
    }
  }
  if (state_ == DownloadState::kPreparing && progress > 0) state_ = DownloadState::kReload;
  const DownloadState s = state_;
  if (s != lastLoggedState_ || diskShort_ != lastLoggedDiskShort_) {
    lastLoggedState_ = s;
    lastLoggedDiskShort_ = diskShort_;
    if (s == DownloadState::kFinished) EnterFinished();
    if (s != DownloadState::kInstalling && s != DownloadState::kExited)
      Log("Pelicanfetch Utility: 下载状态改变为%s", DownloadStateName(s));
    if (s == DownloadState::kFinished && shutdownAfterCompletion_) {
      Log("Pelicanfetch Utility: 触发自动关机");
      ShutDownTheComputer();
    }
  }
  return state_;
}

void DownloadController::OneSecondTick() {
  std::lock_guard<std::recursive_mutex> step(stepMutex_);
  const DownloadState s = state_;
  if (s == DownloadState::kBack || s == DownloadState::kReady || s == DownloadState::kFailed ||
      s == DownloadState::kExited)
    return;
  if (IsActiveState(s)) {
    ++activeTicks_;
    if (activeTicks_ % kReportEverySeconds == 0) TransferReport("11050000", nullptr);
    downloadTime_.Tick(record_);
  } else {
    activeTicks_ = 0;
  }
  DetectFinishedFiles();
  if (s == DownloadState::kMd5Checking || s == DownloadState::kCheckRecover || s == DownloadState::kCheckFinished)
    return;
  bool all = true;
  for (int i = 0; i < kFileCount; ++i) all &= complete_[i].load();
  for (int i = 0; i < kFileCount && all; ++i) all &= !(Answers(i) && !complete_[i]);
  if (all && state_ != DownloadState::kFinished) {
    state_ = DownloadState::kFinished;
    record_.MarkComplete();
  }
}

}  // namespace pf
