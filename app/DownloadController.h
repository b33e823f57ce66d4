#pragma once
// The application's controller of the four package downloads: decides at
// start-up how the download goes on, creates or reloads the engine tasks,
// pauses and resumes them, divides the limits among them, watches the disk,
// reacts to the engine's codes and notices when every file is finished.
//
// Threads: the window's (or terminal's) thread runs the actions; the timer
// thread runs EvaluateState (every 100 ms) and OneSecondTick (every
// 1000 ms); the verification thread moves the states it owns. Fields shared
// between them are atomics, each written whole by its owner; the engine
// locks inside its calls.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/DownloadState.h"
#include "app/PackageTable.h"
#include "app/PortMapping.h"
#include "app/ResourceListThread.h"
#include "app/SpeedMeter.h"
#include "app/TaskLinkFile.h"
#include "app/TaskRecordFile.h"
#include "engine/api/EngineApi.h"
#include "engine/base/CPelicanfetchLog.h"
#include "platform/SystemShutdown.h"

namespace pf {

class CheckThread;

class DownloadController : public ResourceListHost {
 public:
  static constexpr int kFileCount = PackageTable::kFileCount;
  static constexpr const char* kFolderName = TaskRecordFile::kDefaultFolder;
  static constexpr int kLogChannel = kLogApplication;
  static constexpr const char* kGameVersionText = "游戏版本: v156";
  static constexpr const char* kTelemetryConfigName = "dataupload.pfconf";
  // Initialise's result when the telemetry configuration could not be
  // written anywhere: the program quits.
  static constexpr int kCannotConfigureTelemetry = -2;

  // `dataFolder` holds the record, the torrents and the resume files (see
  // DataFolderPath); `httpBudget` is replaced by Initialise.
  DownloadController(const PackageTable& package, std::string dataFolder,
                     int httpBudget = TaskLinkFile::kDefaultBudget);
  // The package's data folder under the application-data folder.
  static std::string DataFolderPath(const PackageTable& package);
  ~DownloadController() override;
  DownloadController(const DownloadController&) = delete;
  DownloadController& operator=(const DownloadController&) = delete;

  // --- start-up ---
  // Once, before the timers run: the data folder, the engine log, the
  // telemetry configuration and upload thread, the listen port and the HTTP
  // budget (the task-link INI of the working directory), then DecideStart's
  // result; kCannotConfigureTelemetry when the configuration could not be
  // written.
  int Initialise();
  // After Initialise gave 0: whether the resource list marks this build
  // expired; if so the user was told and the list's address was opened.
  bool CheckExpiry();
  // Chooses the port peers connect to (0: none) instead of the standard
  // choice, and no mapping on the gateway is tried. Set before Initialise.
  std::function<int()> chooseListenPort;
  // Runs `work` later on the window's thread (the port mapping's
  // notifications); unset, the work runs at once on the calling thread.
  // Set before Initialise.
  std::function<void(std::function<void()> work)> postToWindow;
  // Opens the address an expired build sends the user to.
  std::function<void(const std::string& address)> openAddress;
  const std::string& TelemetryConfigPath() const { return telemetryConfigPath_; }
  int HttpBudget() const { return httpBudget_.load(); }

  // Reads the task record and decides: fresh (ready), lost (ready, record
  // deleted), complete (finished), needs a check (reload) or resumable
  // (recover); reloads the tasks in the last three. 1 when it did.
  int DecideStart();

  // --- actions of the window's thread ---
  // Start, Pause, Resume or Install, as the state asks.
  void MainAction();
  void SetSavePath(const std::string& path);
  // KB/s, 0 = none; divided among the tasks still working.
  void ApplyRateLimit(int kilobytesPerSecond);
  void SetP2PSwitch(bool on) override;
  bool P2PSwitch() const { return p2pOn_.load(); }
  void SetShutdownAfterCompletion(bool on) { shutdownAfterCompletion_ = on; }
  // Who shuts the computer down when the download ends (none: the user is
  // told it could not be done).
  void SetSystemShutdown(std::unique_ptr<platform::SystemShutdown> shutdown);
  // Sends the transfer report: bytes by kind, averages over this run's
  // active seconds, and the package's progress.
  void TransferReport(const char* eventCode, const char* message);

  // --- what the resource list's runs read and change (their threads) ---
  ResourceListContext ResourceListState() const override;
  void ClearMirrors(int file) override;
  void AddMirror(int file, const std::string& url, const std::string& hostName) override;

  // --- the timer thread ---
  DownloadState EvaluateState();
  void OneSecondTick();

  // --- figures ---
  // Size-weighted progress of the package, hundredths of a percent; also
  // notices finished files and hands engine codes to the reaction.
  uint32_t OverallProgress();
  // The progress the last state evaluation found (the bar follows it
  // without asking the engine again).
  uint32_t LastProgress() const { return lastProgress_.load(); }
  // Bytes held of the package (done bytes of the tasks, else what the files
  // take on disk); keeps the record's last size.
  uint64_t TotalBytesPresent();
  // Measures the speed (bytes a second, smoothed under a rate limit); moves
  // an active state to downloading above 1024 B/s and divides the
  // connection budgets; starts a resource-list run when downloading begins
  // and every 600 queries after. 0 outside the active states.
  uint32_t MeasureSpeed();
  // The speed text the window shows, measuring on the way: the speed in
  // the active states, nothing in checkrecover, "0 B/s" otherwise.
  std::string SpeedText();
  // "present/package" in the size format (the last total bytes present).
  std::string PackageSizeText() const;

  DownloadState State() const { return state_.load(); }
  void SetState(DownloadState state) { state_ = state; }
  const std::string& SavePath() const { return savePath_; }
  std::string TargetPath(int index) const;
  bool DiskShort() const { return diskShort_.load(); }
  bool IsFileComplete(int index) const { return complete_[index].load(); }
  // Progress of file `index`'s task, hundredths of a percent; 0 when it
  // does not answer.
  int32_t TaskProgress(int index) const;
  TaskHandle Handle(int index) const { return handles_[index].load(); }
  uint64_t LastTotalBytes() const { return lastTotal_.load(); }
  const PackageTable& Package() const { return package_; }
  TaskRecordFile& Record() { return record_; }

  // --- verification, install and exit ---
  // What the front end provides: a yes/no question on its own thread, the
  // main action posted back to it, and the end of the program once the
  // installer runs. Set before the timers start.
  std::function<bool(const std::string& text, const std::string& caption)> askYesNo;
  std::function<void()> postMainAction;
  std::function<void()> endProgram;
  // The verify question of a finished package, then verification or the
  // installer.
  void AskToVerify();
  void StartVerification(bool installAfterCheck);
  // Starts the installer in the save folder; on success the program ends.
  void StartInstaller(bool verified);
  // Once per process: the exit's log lines and report, then telemetry, the
  // log and the engine stop. `userExit`: the user chose to exit.
  void ExitSteps(bool userExit);
  const CheckThread& Checker() const { return *checker_; }
  bool InstallerStarted() const { return installerStarted_.load(); }

  // Reloads task `index` (force: a repair); false when the engine refused.
  bool ReloadTask(int index, bool force);
  // Whether file `index` is still as it was when it finished.
  bool CheckFinishInfo(int index) const;

 private:
  enum class StartKind { kFresh, kLost, kComplete, kNeedsCheck, kResumable };

  void Log(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void Message(const std::string& text) const;
  std::string ChooseDefaultSaveFolder() const;
  void SetDefaultResumePaths(const std::string& taskHash);
  void SpaceModeCheck(const std::string& path);
  void WriteRecord();
  void StartDownload();
  void CreateOneTask(int index);
  // The torrent reference of file `index` written for the engine; empty
  // when it could not be written.
  std::string ExtractTorrent(int index);
  void FillParams(int index, TaskParams& params, bool forReload);
  void ReloadAtStartUp();
  void Pause(bool report);
  void Resume();
  void RunConnectionBudgets();
  void DetectFinishedFiles();
  // File `index`, whose task answers and is not marked complete.
  void DetectFinishedFile(int index);
  void ReactToCode(int32_t code);
  bool Answers(int index, TaskInfo* info = nullptr) const;
  int ActiveTaskCount() const;
  void EnterFinished();
  void ShutDownTheComputer();

  const PackageTable& package_;
  const std::string dataFolder_;
  std::atomic<int> httpBudget_;
  // Written by Initialise before the timers start.
  std::string telemetryConfigPath_;
  TaskRecordFile record_;
  DownloadTimeCounter downloadTime_;
  LastSizeTracker lastSize_;

  // Set by the window's thread before the timers run, or while the state is
  // back or ready.
  std::string savePath_;
  std::string taskHash_;
  std::string entrance_;
  std::array<std::string, kFileCount> resumePaths_;
  std::array<TaskParams, kFileCount> params_{};
  std::vector<int> reloadList_;

  std::atomic<DownloadState> state_{DownloadState::kReady};
  std::array<std::atomic<TaskHandle>, kFileCount> handles_{};
  std::array<std::atomic<bool>, kFileCount> complete_{};
  std::atomic<bool> diskShort_{false};
  std::atomic<bool> reloadFailed_{false};
  std::atomic<bool> ranThisRun_{false};
  std::atomic<bool> sparseMode_{false};
  std::atomic<bool> p2pOn_{true};
  std::atomic<bool> shutdownAfterCompletion_{false};
  std::atomic<int> rateLimit_{0};
  std::atomic<int32_t> lastCodeRead_{0};
  std::atomic<int32_t> lastCodeReacted_{0};
  std::atomic<uint64_t> lastTotal_{0};
  std::atomic<uint32_t> lastProgress_{0};

  // Byte counts of each file as last read, kept for tasks that stop
  // answering (timer thread and actions, under stepMutex_).
  std::array<uint64_t, kFileCount> lastHttpBytes_{};
  std::array<uint64_t, kFileCount> lastPeerBytes_{};
  // The shown speed and the resource list's pacing (under stepMutex_).
  SpeedMeter speedMeter_;
  std::unique_ptr<platform::SystemShutdown> shutdown_;
  std::unique_ptr<CheckThread> checker_;
  // The listen port's mapping on the gateway, started by Initialise.
  PortMapping portMapping_;
  // Runs against the package's resource list; none without its address.
  std::unique_ptr<ResourceListThread> resourceList_;
  std::atomic<bool> installerStarted_{false};
  std::atomic<bool> exitDone_{false};

  // The timer thread's own.
  DownloadState lastLoggedState_ = DownloadState::kReady;
  bool lastLoggedDiskShort_ = true;
  int lastBudgetTasks_ = -1;
  int lastBudget_ = -1;
  uint32_t activeTicks_ = 0;
  // Serializes the engine-facing steps of the actions and the timers.
  mutable std::recursive_mutex stepMutex_;
};

}  // namespace pf
