#include "engine/task/CandidateList.h"

#include <algorithm>
#include <cstring>

#include "engine/peers/TPeerObject.h"

namespace pf {
namespace {

// Our own peer ids begin with these bytes; a candidate's id is rewritten to
// them until the peer names itself.
constexpr uint8_t kOwnIdPrefix[4] = {0x00, 0x01, 'S', 's'};
// Back-off of a BitTorrent peer: passes added per failure beyond `extra`.
constexpr int kFailurePenalty = 3;
constexpr int kPeerPenaltyBase = 5;
constexpr int kSeedingPenalty = 20;
constexpr int kLongListProduct = 400;  // failures x list length above which the penalty doubles

bool IsUdpNode(const TPeerId& source) { return source.url.rfind("UDP", 0) == 0; }

}  // namespace

void CandidateList::Sort() {
  std::stable_sort(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
    if (a->group != b->group) return a->group > b->group;
    if (a->score != b->score) return a->score > b->score;
    if (a->failures != b->failures) return a->failures < b->failures;
    if (a->attempts != b->attempts) return a->attempts < b->attempts;
    return a->sequence < b->sequence;
  });
}

bool CandidateList::Add(RefPtr<TPeerId> source, bool trustPeerId, bool keepPeerId) {
  if (!source) return false;
  const bool peer = source->kind == kBtNode;
  const bool udpNode = IsUdpNode(*source);
  int first = -1, last = -1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    TPeerId& known = *entries_[i];
    if (known.group == source->group) {
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
    // A redirect's target takes over from its source, even on the same server
    // (a redirect back to the same text is a loop and stays refused).
    if (known.IsRedirected() && !TPeerId::SameSource(&known, source.get())) continue;
    // One address is one server: another text at the same IP is the same
    // mirror. (Peers and trackers are told apart by port and kind below.)
    const bool unknownIp = known.ip == 0xFFFFFFFFu || source->ip == 0xFFFFFFFFu;
    if (source->IsServer() && known.IsServer() && !source->url.empty() && (known.ip == source->ip || unknownIp))
      return false;
    if (known.ip == source->ip && known.port == source->port && known.kind == source->kind) {
      if (!known.IsServer() && !source->IsServer() && (keepPeerId || (trustPeerId && !udpNode)))
        std::memcpy(known.peerId, source->peerId, sizeof known.peerId);
      return false;
    }
  }
  if (peer) source->group = kBitTorrentGroup;
  if (!udpNode) std::memcpy(source->peerId, kOwnIdPrefix, sizeof kOwnIdPrefix);
  // Servers and peers that named themselves spread over their group; others
  // start at its front.
  size_t at = first < 0 ? 0 : static_cast<size_t>(first);
  if ((trustPeerId || source->IsServer()) && last > first) {
    std::uniform_int_distribution<int> pick(first, last);
    at = static_cast<size_t>(pick(placeRandom_));
  }
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at), std::move(source));
  Sort();
  return true;
}

TPeerId* CandidateList::Find(const std::string& address) const {
  for (const auto& c : entries_)
    if (c->url == address) return c.get();
  return nullptr;
}

TPeerId* CandidateList::FindSame(const TPeerId& source) const {
  for (const auto& c : entries_)
    if (TPeerId::SameSource(c.get(), &source) && c->ip == source.ip) return c.get();
  return nullptr;
}

void CandidateList::Retry(TPeerId& source, SourceRetry retry, int seconds) {
  // The entries may hold the only other reference to `source`.
  RefPtr<TPeerId> keep = RefPtr<TPeerId>::Share(&source);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!TPeerId::SameSource(it->get(), &source) || (*it)->ip != source.ip) {
      ++it;
      continue;
    }
    if (retry == SourceRetry::kHoldBack) {
      (*it)->sequence += std::max(1, seconds);
      ++it;
    } else {
      it = entries_.erase(it);
    }
  }
  Sort();
}

void CandidateList::BackOff(const TPeerId& source, TPeerObject* connection, int extra, bool seeding) {
  // A peer that came to us is not held back: we never chose to call it.
  if (connection && connection->acceptedIncoming) return;
  for (size_t i = 0; i < entries_.size(); ++i) {
    RefPtr<TPeerId> c = entries_[i];
    if (!TPeerId::SameSource(c.get(), &source)) continue;
    if (c->IsServer() && c->openConnections > 1) {
      if (c->sequence <= 0) c->sequence += 2;
      return;
    }
    // A peer that once shook hands gets one failure for free.
    if (handshakeIps_.erase(c->ip) == 0) c->sequence += kFailurePenalty * std::max(c->failures - 1, 0);
    c->sequence += extra;
    ++c->failures;
    const bool neverReady = !connection || connection->linkState != TPeerObject::kReady;
    if (c->kind == kBtNode && (neverReady || connection->IsUnwanted())) {
      const int e = extra < 0 || extra > 4095 ? 1 : extra;
      const int64_t f = std::max(c->failures - 1, e);
      c->sequence += (f * static_cast<int64_t>(entries_.size()) <= kLongListProduct ? 1 : 2) * e + kPeerPenaltyBase;
      if (seeding) c->sequence += kSeedingPenalty;
      if (c->sequence <= 0) c->sequence = 10;
      // To the back of the line.
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      entries_.push_back(c);
    }
    return;
  }
}

void CandidateList::AddResolving(RefPtr<TPeerId> source, bool trustPeerId, bool keepPeerId) {
  if (!source || Find(source->url)) return;
  for (const Resolved& r : resolving_)
    if (r.source->url == source->url) return;
  resolving_.push_back({std::move(source), trustPeerId, keepPeerId});
}

std::vector<CandidateList::Resolved> CandidateList::Resolve(std::vector<RefPtr<TPeerId>>* failed) {
  // Entries that were never parsed (peers learnt from trackers and the LAN
  // come with their address) start their lookup.
  for (auto it = entries_.begin(); it != entries_.end();) {
    TPeerId& c = **it;
    const bool given = c.kind == kBtNode && c.ip != 0xFFFFFFFFu && c.port > 0;
    if (c.parsed || given) {
      ++it;
      continue;
    }
    if (c.BeginParse() != TPeerId::ParseState::kFailed) resolving_.push_back({*it, false, false});
    else if (failed) failed->push_back(*it);
    it = entries_.erase(it);
  }
  std::vector<Resolved> ready;
  for (auto it = resolving_.begin(); it != resolving_.end();) {
    const TPeerId::ParseState state = it->source->PollParse();
    if (state == TPeerId::ParseState::kResolving) {
      ++it;
      continue;
    }
    if (state == TPeerId::ParseState::kReady)
      ready.push_back(std::move(*it));
    else if (failed)
      failed->push_back(it->source);
    it = resolving_.erase(it);
  }
  return ready;
}

void CandidateList::Clear() {
  entries_.clear();
  resolving_.clear();
}


}  // namespace pf
