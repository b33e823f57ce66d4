#include "engine/task/ProcessIpFilter.h"

#include "engine/base/EngineLocks.h"
#include "engine/base/ScopedLock.h"

namespace pf {
namespace {

// Both under RegistryLock().
CIPFilter& Filter() {
  static CIPFilter filter;
  return filter;
}
std::string& FilterPath() {
  static std::string path;
  return path;
}

}  // namespace

void SetIpFilterPath(const std::string& path) {
  ScopedLock lock(&RegistryLock());
  FilterPath() = path;
  Filter().Clear();
}

CIPFilter CopyProcessIpFilter() {
  ScopedLock lock(&RegistryLock());
  if (Filter().RangeCount() == 0 && !FilterPath().empty()) Filter().Load(FilterPath());
  return Filter();
}

}  // namespace pf
