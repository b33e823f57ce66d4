#include "engine/task/MirrorList.h"

#include "engine/task/SourceListText.h"

namespace pf {

void MirrorList::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  mirrors_ = Snapshot();
}

void MirrorList::Add(const char* addresses, const char* hostNames) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& line : ParseSourceLines(addresses)) mirrors_.addresses.push_back(std::move(line));
  for (auto& line : ParseSourceLines(hostNames)) mirrors_.hostNames.push_back(std::move(line));
  mirrors_.present = true;
}

MirrorList::Snapshot MirrorList::Copy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mirrors_;
}

bool MirrorList::HasAddresses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mirrors_.present && !mirrors_.addresses.empty();
}

}  // namespace pf
