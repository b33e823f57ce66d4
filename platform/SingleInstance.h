#pragma once
// One running copy of the program per package. The first start holds a lock
// file named after the package; a later start hands its working folder over
// (the first one brings its window forward) and quits. A first copy that
// does not answer within the wait is taken for hung: it is ended, but only
// when that process really is this program, and the new start carries on.
#include <string>

namespace pf::platform {

class SingleInstance {
 public:
  enum class Role {
    kFirst,       // no other copy runs
    kHandedOver,  // another copy took the hand-over: quit
    kTookOver     // another copy did not answer and was ended (or could not be)
  };

  // `folder` holds the lock file; `name` (the package id) names it and the
  // hand-over address.
  SingleInstance(std::string folder, std::string name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  Role Claim(int replyWaitMs = 1000);
  // The first copy: answers one waiting hand-over, if any, and gives the
  // other start's working folder. Call it from the thread that runs the
  // window, so that a hung window answers nothing.
  bool TakeHandOver(std::string* workingDirectory);

 private:
  bool TryLock();
  bool Listen();
  int HolderPid() const;

  std::string lockPath_;
  std::string address_;
  int lockFd_ = -1;
  int listenFd_ = -1;
};

// Whether the process `pid` runs the same program file as this one.
bool IsThisProgram(int pid);

}  // namespace pf::platform
