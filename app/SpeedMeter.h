#pragma once
// The speed the window shows, one speed query at a time: smoothed towards the
// rate limit's cap, and the pacing of the resource list, fetched when
// downloading begins and then every 600 queries (about ten minutes at one
// query a second).
//
// Not thread-safe: the controller calls it under its step lock.
#include <cstdint>

#include "app/DownloadState.h"

namespace pf {

class SpeedMeter {
 public:
  static constexpr uint32_t kResourceListEvery = 600;

  // Counts one query in `state` (as the downloading threshold left it):
  // true when this query starts a resource-list fetch. Downloading and
  // checkrecover count; every other state starts the count again.
  bool CountQuery(DownloadState state);

  // The shown speed after a measured `total` (bytes a second) under a rate
  // limit of `rateLimitKB` (0 = none): the total itself up to the cap,
  // above it halfway from the last shown speed towards the total (while the
  // cap lies above the last shown speed) or towards the cap.
  uint32_t Smooth(uint64_t total, int rateLimitKB);
  uint32_t Smoothed() const { return smoothed_; }

 private:
  uint32_t queries_ = 0;
  uint32_t smoothed_ = 0;
};

}  // namespace pf
