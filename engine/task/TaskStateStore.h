#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "engine/content/TaskStateFile.h"

namespace pf {

// What a task keeps in its task state file (the torrent, the piece map's file
// list and resume record, and the seeds value it carries over), and whether
// it changed since the file was last written. Not locked itself: its owner
// guards it with the task's lock.
class TaskStateStore {
 public:
  const std::string& Torrent() const { return values_.torrent; }
  const std::string& FileList() const { return values_.part; }
  const std::string& ResumeRecord() const { return values_.bits; }

  void SetTorrent(std::string bytes) { Set(values_.torrent, std::move(bytes)); }
  void SetFileList(std::string bytes) { Set(values_.part, std::move(bytes)); }
  void SetResumeRecord(std::string bytes) { Set(values_.bits, std::move(bytes)); }

  // Takes the values read from the task state file (each one the file has);
  // nothing counts as changed afterwards.
  void Restore(const TaskStateStrings& saved);
  // What to write when a value changed since the last save, so that the
  // owner can write it without holding its lock; MarkSaved then clears the
  // change unless another came in between.
  struct Snapshot {
    TaskStateStrings values;
    uint64_t version = 0;
  };
  std::optional<Snapshot> Unsaved() const;
  void MarkSaved(uint64_t version);
  void Clear();

 private:
  void Set(std::string& value, std::string bytes) {
    value = std::move(bytes);
    ++version_;
    changed_ = true;
  }

  TaskStateStrings values_;
  uint64_t version_ = 0;  // counts changes
  bool changed_ = false;
};

}  // namespace pf
