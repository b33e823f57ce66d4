#include "engine/task/TaskRegistry.h"

#include <algorithm>

#include "engine/base/EngineLocks.h"
#include "engine/base/ScopedLock.h"

namespace pf {
namespace {

TaskHandle nextHandle = 1;  // guarded by the registry lock

}  // namespace

std::vector<std::pair<TaskHandle, TBaseWork*>>& TaskRegistry::Entries() {
  static std::vector<std::pair<TaskHandle, TBaseWork*>> entries;
  return entries;
}

TaskHandle TaskRegistry::Add(TBaseWork* work) {
  ScopedLock lock(&RegistryLock());
  auto& entries = Entries();
  for (const auto& entry : entries)
    if (entry.second == work) return 0;
  auto inUse = [&](TaskHandle h) {
    return h == 0 || std::any_of(entries.begin(), entries.end(),
                                 [h](const auto& e) { return e.first == h; });
  };
  while (inUse(nextHandle)) ++nextHandle;
  const TaskHandle handle = nextHandle++;
  entries.emplace_back(handle, work);
  return handle;
}

bool TaskRegistry::Remove(TBaseWork* work) {
  ScopedLock lock(&RegistryLock());
  auto& entries = Entries();
  std::erase_if(entries, [work](const auto& e) { return e.second == work; });
  return entries.empty();
}

TBaseWork* TaskRegistry::Find(TaskHandle handle) {
  if (handle == 0) return nullptr;
  ScopedLock lock(&RegistryLock());
  for (const auto& entry : Entries())
    if (entry.first == handle) return entry.second;
  return nullptr;
}

TBaseWork* TaskRegistry::First() {
  ScopedLock lock(&RegistryLock());
  return Entries().empty() ? nullptr : Entries().front().second;
}

bool TaskRegistry::Empty() {
  ScopedLock lock(&RegistryLock());
  return Entries().empty();
}

std::vector<TBaseWork*> TaskRegistry::All() {
  ScopedLock lock(&RegistryLock());
  std::vector<TBaseWork*> works;
  for (const auto& entry : Entries()) works.push_back(entry.second);
  return works;
}

}  // namespace pf
