#include "engine/task/TaskStateStore.h"

namespace pf {

void TaskStateStore::Restore(const TaskStateStrings& saved) {
  for (auto [mine, theirs] : {std::pair{&values_.torrent, &saved.torrent}, std::pair{&values_.part, &saved.part},
                              std::pair{&values_.bits, &saved.bits}, std::pair{&values_.seeds, &saved.seeds}})
    if (!theirs->empty()) *mine = *theirs;
  changed_ = false;
}

std::optional<TaskStateStore::Snapshot> TaskStateStore::Unsaved() const {
  if (!changed_) return std::nullopt;
  return Snapshot{values_, version_};
}

void TaskStateStore::MarkSaved(uint64_t version) {
  if (version == version_) changed_ = false;
}

void TaskStateStore::Clear() {
  values_ = TaskStateStrings();
  ++version_;
  changed_ = false;
}

}  // namespace pf
