#include "engine/task/TaskConfig.h"

#include <algorithm>

namespace pf {
namespace {

void Clamp(int& value, int low, int high, int fallback) {
  if (value < low || value > high) value = fallback;
}

}  // namespace

void TaskConfig::Validate() {
  const TaskConfig defaults;
  Clamp(serverMinConnections, 1, 20, defaults.serverMinConnections);
  Clamp(memoryLimit, 1, 8000, defaults.memoryLimit);
  Clamp(seedHours, 0, 20480, defaults.seedHours);
  Clamp(downloadLimitKB, 0, 32766, defaults.downloadLimitKB);
  Clamp(uploadLimitKB, 0, 32766, defaults.uploadLimitKB);
}

int TaskConfig::PieceCacheUnits() const { return std::clamp(memoryLimit, 4, 8000); }

}  // namespace pf
