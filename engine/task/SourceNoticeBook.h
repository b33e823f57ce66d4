#pragma once
// Which source notices a task has given in this run: a source's problem is
// told once per cause, and the end of its mirrors once, however often the
// pool retries. Work thread alone.
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "engine/peers/SourceProblem.h"

namespace pf {

class SourceNoticeBook {
 public:
  // The notice for `address` failing with `problem`, unless told already.
  std::optional<SourceNotice> Problem(const std::string& address, SourceProblem problem, const std::string& detail);
  // Called once a second with what the pool still has: servers (candidates,
  // connections and addresses being looked up) and BitTorrent sources
  // (trackers and peers). A notice when the last server has gone while
  // peers may still come, or when nothing is left at all; each once.
  std::optional<SourceNotice> Remaining(int servers, int peerSources);
  void Reset() { *this = SourceNoticeBook(); }

 private:
  std::set<std::pair<std::string, SourceProblem>> told_;
  bool hadServers_ = false;
  bool toldWaiting_ = false;
  bool toldNone_ = false;
};

}  // namespace pf
