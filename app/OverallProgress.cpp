#include "app/OverallProgress.h"

#include <algorithm>

namespace pf {

void OverallProgress::AddComplete(uint64_t expectedSize) { Add(expectedSize / 1048576, kWhole); }

void OverallProgress::AddAnswering(int32_t totalKB, int32_t progress, bool finished) {
  const uint64_t weight = static_cast<uint64_t>(std::max(totalKB, 0)) / 1024;
  const bool whole = finished || progress >= static_cast<int32_t>(kWhole);
  Add(weight, whole ? kWhole : static_cast<uint64_t>(std::max(progress, 0)));
}

void OverallProgress::Add(uint64_t weight, uint64_t progress) {
  weighted_ += weight * progress;
  weights_ += weight;
}

uint32_t OverallProgress::Value() const {
  return weights_ == 0 ? 0 : static_cast<uint32_t>(weighted_ / weights_);
}

}  // namespace pf
