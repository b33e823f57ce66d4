#pragma once
// Fetches the server resource list and applies it to the running download:
// the P2P switch, and the mirrors of each file's task. Each run fetches
// once, applies and ends; runs started while an earlier one still waits on
// its server go on side by side.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/ResourceListDocument.h"

namespace pf {

// What a run reads and changes: the controller in the program. Called on
// the run's thread.
class ResourceListHost {
 public:
  virtual ~ResourceListHost() = default;
  // The package URLs, the files marked complete and the file being verified.
  virtual ResourceListContext ResourceListState() const = 0;
  // Keeps the process-wide switch and hands it to the engine.
  virtual void SetP2PSwitch(bool on) = 0;
  virtual void ClearMirrors(int file) = 0;
  virtual void AddMirror(int file, const std::string& url, const std::string& hostName) = 0;
};

class ResourceListThread {
 public:
  // `caCertificates`: PEM trusted for the list's server besides the system's.
  ResourceListThread(ResourceListHost& host, std::string url, std::string caCertificates);
  // Ends the fetches under way and waits for every run.
  ~ResourceListThread();
  ResourceListThread(const ResourceListThread&) = delete;
  ResourceListThread& operator=(const ResourceListThread&) = delete;

  // Starts one run on a thread of its own.
  void Start();
  // One run on the calling thread: 0 when mirrors were added, -1 when the
  // fetch failed, -2 when the list had nothing to apply (a wrong root or no
  // switch change nothing), -3 when it broke off.
  int RunOnce();
  // Waits for the runs started so far; the result of the last one to end
  // (1 when none ran).
  int Wait();

 private:
  struct Run {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void ReapFinished();  // under runsMutex_

  ResourceListHost& host_;
  const std::string url_;
  const std::string caCertificates_;
  std::atomic<bool> cancel_{false};
  std::atomic<int> lastResult_{1};
  std::mutex runsMutex_;
  std::vector<std::unique_ptr<Run>> runs_;  // guarded by runsMutex_
};

// The expiry check: the list fetched with a 2-second time-out; a failed
// fetch or a document that is not XML is not expired.
ResourceListExpiry FetchResourceListExpiry(const std::string& url, const std::string& caCertificates);

}  // namespace pf
