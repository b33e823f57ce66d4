#include "engine/task/SourceNoticeBook.h"

namespace pf {

std::optional<SourceNotice> SourceNoticeBook::Problem(const std::string& address, SourceProblem problem,
                                                      const std::string& detail) {
  if (!told_.emplace(address, problem).second) return std::nullopt;
  return SourceNotice{kNoticeSource, address + ": " + SourceProblemText(problem, detail)};
}

std::optional<SourceNotice> SourceNoticeBook::Remaining(int servers, int peerSources) {
  if (servers > 0) {
    hadServers_ = true;
    toldNone_ = false;
    return std::nullopt;
  }
  if (peerSources > 0) {
    if (!hadServers_ || toldWaiting_) return std::nullopt;
    toldWaiting_ = true;
    return SourceNotice{kNoticeWaitingForPeers, "no mirror left; waiting for peers from the torrent's trackers"};
  }
  if (toldNone_) return std::nullopt;
  toldNone_ = true;
  return SourceNotice{kNoticeNoSourceLeft, "no source left that can deliver"};
}

}  // namespace pf
