#pragma once
#include <cstdint>

namespace pf {

// Order groups of a task's candidates (TPeerId::group): the candidate list
// tries higher groups first.
inline constexpr int32_t kDefaultSourceGroup = 1;
// BitTorrent peers, those named to us and those that called us alike.
inline constexpr int32_t kBitTorrentGroup = 19;
// A source whose connection is dropped as slow sinks one group each time,
// never below this one.
inline constexpr int32_t kSlowDropFloorGroup = 20;
// One of the task's own sources after its first good answer, so that those
// not yet tried come before it.
inline constexpr int32_t kAnsweredOwnSourceGroup = 28;
// The task's own sources and mirrors.
inline constexpr int32_t kOwnSourceGroup = 29;
// Sources above this group are reached over TCP only, never the UDP layer.
inline constexpr int32_t kHighestUdpGroup = 34;

}  // namespace pf
