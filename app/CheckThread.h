#pragma once
// Verification of the finished package: each file's MD5 against the
// package's, and up to five repairs of a file that does not match (its task
// reloaded with force, so that the engine checks its pieces again and
// fetches the damaged ones). Runs on a thread of its own; the window reads
// the progress figures while it runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace pf {

class DownloadController;

class CheckThread {
 public:
  static constexpr int kMaxRepairs = 5;
  static constexpr int kReloadAttempts = 4;

  explicit CheckThread(DownloadController& controller) : controller_(controller) {}
  ~CheckThread();
  CheckThread(const CheckThread&) = delete;
  CheckThread& operator=(const CheckThread&) = delete;

  // Starts the thread (the state must be finished); false when it cannot be
  // made. `whenVerified` runs on this thread once every file matched.
  bool Start(std::function<void()> whenVerified);
  // Asks a running check to end (the program exits) and waits for it.
  void Stop();
  void Join();
  bool Running() const { return running_.load(); }

  // What the window shows.
  int CurrentFile() const { return currentFile_.load(); }
  uint32_t DigestProgress() const { return digestProgress_.load(); }
  uint32_t RepairProgress() const { return repairProgress_.load(); }
  uint32_t RepairSpeed() const { return repairSpeed_.load(); }
  bool MismatchSeen() const { return mismatchSeen_.load(); }
  // Progress of the whole verification, weighted by file size.
  uint32_t Progress() const;

  // Milliseconds between looks at a repairing task (tests shorten it).
  int pollMs = 1000;

 private:
  void Run();
  bool CheckFile(int index, bool keepActual);

  DownloadController& controller_;
  std::function<void()> whenVerified_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<int> currentFile_{0};
  std::atomic<uint32_t> digestProgress_{0};
  std::atomic<uint32_t> repairProgress_{0};
  std::atomic<uint32_t> repairSpeed_{0};
  std::atomic<bool> mismatchSeen_{false};
  std::string lastActual_;  // this thread's own
};

}  // namespace pf
