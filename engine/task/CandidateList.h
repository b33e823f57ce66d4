#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/base/TRefObject.h"
#include "engine/net/SourceGroup.h"
#include "engine/net/TPeerId.h"
#include "engine/peers/PeerHost.h"

namespace pf {

class TPeerObject;

// The sources a task may connect to, in the order it tries them: group
// (higher first), then score, failures, attempts and sequence. Adding refuses
// duplicates; retrying and backing off move a source back; resolving drops
// the sources whose address cannot be had. The work thread alone uses it.
class CandidateList {
 public:
  using Entries = std::vector<RefPtr<TPeerId>>;
  // Adds a source unless the list has it already: one server per address
  // (a redirect's target aside), one peer or tracker per address, port and
  // kind. `trustPeerId`: the peer id came from the peer itself; `keepPeerId`:
  // a known entry at the same address takes the new id. Peers join the
  // BitTorrent group. True when added.
  bool Add(RefPtr<TPeerId> source, bool trustPeerId, bool keepPeerId);
  void Sort();
  TPeerId* Find(const std::string& address) const;
  // The entry that stands for `source` (the same source at the same address).
  TPeerId* FindSame(const TPeerId& source) const;
  // Holds every entry of the source back for `seconds` connect passes, or
  // drops them.
  void Retry(TPeerId& source, SourceRetry retry, int seconds);
  // Makes a source whose connection failed wait longer: `extra` passes and
  // more with each failure; a BitTorrent peer that never became ready (or
  // had nothing we want) goes to the back. A peer that came to us is never
  // held back, and one that once shook hands is forgiven a failure.
  void BackOff(const TPeerId& source, TPeerObject* connection, int extra, bool seeding);
  // A BitTorrent handshake succeeded with this address (network order).
  void NoteHandshake(uint32_t ip) { handshakeIps_.insert(ip); }
  // A source whose host is still being looked up waits outside the order
  // until its lookup ends (one per address text).
  void AddResolving(RefPtr<TPeerId> source, bool trustPeerId, bool keepPeerId);
  struct Resolved {
    RefPtr<TPeerId> source;
    bool trustPeerId;
    bool keepPeerId;
  };
  // Polls the lookups without waiting (entries not parsed yet start one):
  // the sources now resolved, for the caller to add; those whose lookup or
  // parse failed leave the list into `failed`.
  std::vector<Resolved> Resolve(std::vector<RefPtr<TPeerId>>* failed);
  size_t ResolvingCount() const { return resolving_.size(); }
  void Clear();

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const RefPtr<TPeerId>& operator[](size_t i) const { return entries_[i]; }
  Entries::const_iterator begin() const { return entries_.begin(); }
  Entries::const_iterator end() const { return entries_.end(); }
  const RefPtr<TPeerId>& front() const { return entries_.front(); }
  const RefPtr<TPeerId>& back() const { return entries_.back(); }
  // Appends without the adding rules (tests set up lists with it).
  void push_back(RefPtr<TPeerId> source) { entries_.push_back(std::move(source)); }

 private:
  Entries entries_;
  std::vector<Resolved> resolving_;
  // Addresses with which a BitTorrent handshake succeeded: their next
  // failure is forgiven once.
  std::set<uint32_t> handshakeIps_;
  std::mt19937 placeRandom_{std::random_device{}()};
};

}  // namespace pf
