#pragma once
// The package's progress: the mean of its files' progress weighted by their
// sizes in whole MiB, in hundredths of a percent. Files without a weight
// source (no mark, no answering task) are left out.
#include <cstdint>

#include "engine/base/EngineTypes.h"

namespace pf {

class OverallProgress {
 public:
  static constexpr uint32_t kWhole = kProgressWhole;

  // A file marked complete: its expected size, at 100 %.
  void AddComplete(uint64_t expectedSize);
  // A file whose task answers: its size in KiB as the task reports it, and
  // its progress (100 % once finished or at 10000 and above).
  void AddAnswering(int32_t totalKB, int32_t progress, bool finished);
  // Sum of weight × progress over the sum of the weights; 0 without weights.
  uint32_t Value() const;

 private:
  void Add(uint64_t weight, uint64_t progress);

  uint64_t weighted_ = 0;
  uint64_t weights_ = 0;
};

}  // namespace pf
