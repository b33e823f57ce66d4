#pragma once
// The process-wide list of live work objects. A task's handle is a registry
// id rather than the object's address, so that it fits 32 bits on any build;
// ids are never reused while their task lives.
#include <utility>
#include <vector>

#include "engine/base/EngineTypes.h"

namespace pf {

class TBaseWork;

class TaskRegistry {
 public:
  // Every call takes the registry lock itself (it is recursive, so callers
  // may already hold it).
  static TaskHandle Add(TBaseWork* work);       // 0 when already registered
  static bool Remove(TBaseWork* work);          // true when the registry became empty
  static TBaseWork* Find(TaskHandle handle);
  static TBaseWork* First();
  static bool Empty();
  static std::vector<TBaseWork*> All();

 private:
  static std::vector<std::pair<TaskHandle, TBaseWork*>>& Entries();
};

}  // namespace pf
