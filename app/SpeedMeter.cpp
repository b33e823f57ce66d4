#include "app/SpeedMeter.h"

#include <algorithm>

namespace pf {

bool SpeedMeter::CountQuery(DownloadState state) {
  if (state != DownloadState::kDownloading && state != DownloadState::kCheckRecover) {
    queries_ = 0;
    return false;
  }
  return queries_++ % kResourceListEvery == 0;
}

uint32_t SpeedMeter::Smooth(uint64_t total, int rateLimitKB) {
  uint64_t next = total;
  if (rateLimitKB > 0) {
    const uint64_t cap = static_cast<uint64_t>(rateLimitKB) * 1024;
    if (total > cap) next = cap > smoothed_ ? (total + smoothed_) / 2 : (cap + smoothed_) / 2;
  }
  smoothed_ = static_cast<uint32_t>(std::min<uint64_t>(next, UINT32_MAX));
  return smoothed_;
}

}  // namespace pf
