#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/task/MirrorList.h"

namespace pf {

// What a task does with its servers (HTTP and FTP mirrors) beyond connecting
// them: every 31 seconds it makes room among the server connections and
// draws mirrors from the lists callers gave; without mirrors it lets the
// slowest servers go now and then so that others get their turn; after ten
// connect passes that opened nothing it draws mirrors at once and takes the
// task's own sources back; when every server is slow for 16 seconds it
// connects the task's own sources again directly. The work thread alone
// uses it.
class MirrorPolicy {
 public:
  // What the policy needs of the pool.
  class Pool {
   public:
    virtual int OpenServerConnections() const = 0;
    virtual int ServerConnectionLimit() const = 0;
    virtual int ServerCandidateCount() const = 0;
    // Summed speed of the server connections, bytes a second.
    virtual int64_t ServerSpeed() const = 0;
    // Closes, among the last `count` servers in rank order, those below a
    // fifth of the average speed.
    virtual void DropSlowServers(int count) = 0;
    // Closes the `count` slowest server connections.
    virtual void DropSlowestServers(int count) = 0;
    // Takes a mirror (or one of the task's own sources) as a candidate;
    // `connectNow` opens its connections at once. True when it was taken.
    virtual bool TakeServer(const std::string& address, const std::string& hostName, bool connectNow) = 0;
    virtual void ResolveCandidates() = 0;

   protected:
    ~Pool() = default;
  };

  MirrorPolicy(Pool& pool, const MirrorList& mirrors) : pool_(pool), mirrors_(mirrors) {}

  // The task's own source texts as first fed, for the fallbacks.
  void RememberOwnSource(const std::string& address) { ownSources_.push_back(address); }
  bool RemembersOwnSources() const { return !ownSources_.empty(); }

  // At most every 31 seconds of `now` (wall seconds).
  void KeepMirrors(int64_t now);
  // At the start of every server connect pass.
  void NoteServerPass(int64_t now) {
    if (firstServerPass_ == 0) firstServerPass_ = now;
  }
  // After a server connect pass that opened `opened` of `budget`.
  void AfterServerPass(int opened, int budget, int64_t now);
  // Once a second.
  void SlowServerFallback();
  void Reset();

 private:
  // Draws up to `count` mirrors at random; `connectNow` connects each at once.
  void TakeMirrors(int count, bool connectNow, int64_t now);
  void ReAddOwnSources(bool connectNow);

  Pool& pool_;
  const MirrorList& mirrors_;
  std::vector<std::string> ownSources_;
  int64_t firstServerPass_ = 0;  // wall seconds of the first server pass
  int64_t lastMirrorPass_ = 0;   // wall seconds; 0 = none yet
  int emptyServerPasses_ = 0;
  int slowServerSeconds_ = 0;
};

}  // namespace pf
