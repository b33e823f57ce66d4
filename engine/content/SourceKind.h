#pragma once
#include <cstdint>

namespace pf {

// The kinds of source a task fetches from, as bits so that a mask can name
// several. "Servers" are the mirrors: HTTP and FTP.
enum SourceKind : uint8_t {
  kBtNode = 1,  // a BitTorrent peer
  kHttp = 2,
  kFtp = 4,
  kTracker = 8,
};
inline constexpr int kServerKinds = kHttp | kFtp;
inline constexpr int kAllSourceKinds = kBtNode | kHttp | kFtp | kTracker;

}  // namespace pf
