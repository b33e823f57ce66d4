#include "engine/task/MirrorPolicy.h"

#include <random>

namespace pf {
namespace {

constexpr int64_t kMirrorPassSeconds = 31;
constexpr int64_t kTurnSeconds = 45;  // without mirrors: how often the slowest make room
constexpr int kSlowServerBytes = 1024;
constexpr int kSlowServerSeconds = 16;
constexpr int kEmptyPassesBeforeMirrors = 10;

}  // namespace

void MirrorPolicy::KeepMirrors(int64_t now) {
  const int limit = pool_.ServerConnectionLimit();
  if (!mirrors_.HasAddresses()) {
    // Without mirrors, the slowest servers make room now and then, so that
    // the other sources of the task get their turn.
    if (firstServerPass_ == 0 || now - firstServerPass_ <= kTurnSeconds) return;
    if (lastMirrorPass_ != 0 && now - lastMirrorPass_ < kTurnSeconds) return;
    lastMirrorPass_ = now;
    const int open = pool_.OpenServerConnections();
    if (open >= limit && pool_.ServerCandidateCount() >= limit) pool_.DropSlowServers(open - limit + 1);
    return;
  }
  if (lastMirrorPass_ != 0 && now - lastMirrorPass_ < kMirrorPassSeconds) return;
  lastMirrorPass_ = now;
  int open = pool_.OpenServerConnections();
  if (open > limit - 1) {
    pool_.DropSlowestServers(open - limit + 1);
    open = pool_.OpenServerConnections();
  }
  if (open < limit) TakeMirrors(open == limit - 1 ? 1 : limit - open, false, now);
}

void MirrorPolicy::AfterServerPass(int opened, int budget, int64_t now) {
  if (opened != 0 || ++emptyServerPasses_ < kEmptyPassesBeforeMirrors) return;
  if (pool_.OpenServerConnections() < pool_.ServerConnectionLimit()) {
    ReAddOwnSources(false);
    pool_.ResolveCandidates();
  }
  pool_.ResolveCandidates();
  TakeMirrors(budget, true, now);
  emptyServerPasses_ = 0;
}

void MirrorPolicy::SlowServerFallback() {
  if (pool_.ServerSpeed() >= kSlowServerBytes) {
    slowServerSeconds_ = 0;
    return;
  }
  if (++slowServerSeconds_ < kSlowServerSeconds) return;
  if (pool_.OpenServerConnections() < pool_.ServerConnectionLimit()) {
    ReAddOwnSources(true);
    pool_.ResolveCandidates();
  }
}

void MirrorPolicy::TakeMirrors(int count, bool connectNow, int64_t now) {
  if (count <= 0) return;
  const MirrorList::Snapshot mirrors = mirrors_.Copy();
  if (mirrors.addresses.empty()) return;
  std::mt19937 random(static_cast<uint32_t>(now));
  std::uniform_int_distribution<size_t> pick(0, mirrors.addresses.size() - 1);
  int taken = 0;
  for (int draw = 0; draw < 2 * count && taken < count; ++draw) {
    const size_t i = pick(random);
    const std::string host = i < mirrors.hostNames.size() ? mirrors.hostNames[i] : std::string();
    if (pool_.TakeServer(mirrors.addresses[i], host, connectNow)) ++taken;
  }
}

void MirrorPolicy::ReAddOwnSources(bool connectNow) {
  const std::vector<std::string> own = ownSources_;
  for (const std::string& address : own) pool_.TakeServer(address, std::string(), connectNow);
}

void MirrorPolicy::Reset() {
  ownSources_.clear();
  firstServerPass_ = 0;
  lastMirrorPass_ = 0;
  emptyServerPasses_ = 0;
  slowServerSeconds_ = 0;
}

}  // namespace pf
