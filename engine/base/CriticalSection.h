#pragma once
#include <mutex>

namespace pf {

// A recursive in-process lock, the cheapest lock the engine has.
class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CriticalSection* section, bool enterNow = true)
      : section_(section) {
    if (enterNow && section_) {
      section_->Enter();
      locked_ = true;
    }
  }
  ~CriticalSectionGuard() { Leave(); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

  void Leave() {
    if (locked_) {
      locked_ = false;
      section_->Leave();
    }
  }

 private:
  bool locked_ = false;
  CriticalSection* section_;
};

}  // namespace pf
