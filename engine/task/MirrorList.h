#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace pf {

// The mirror addresses callers give a task (with the host names to send to
// each), which the task's pool draws from. Callers change it while the work
// thread reads it: it has its own lock, under which nothing else is taken.
class MirrorList {
 public:
  struct Snapshot {
    std::vector<std::string> addresses;
    std::vector<std::string> hostNames;  // by position; may be shorter
    bool present = false;                // set by Add, even with no address
  };

  void Clear();
  // One address (and host name) per line of each text.
  void Add(const char* addresses, const char* hostNames);
  Snapshot Copy() const;
  // Whether Add was called with at least one address since the last Clear.
  bool HasAddresses() const;

 private:
  mutable std::mutex mutex_;
  Snapshot mirrors_;  // guarded by mutex_
};

}  // namespace pf
