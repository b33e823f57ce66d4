#pragma once
// Starting another program (the package's installer) without waiting for it.
#include <string>

namespace pf::platform {

// Why a launch failed, in the numbering the application's messages use
// (values below 32 are failures; 33 means started).
enum class LaunchResult : int {
  kStarted = 33,
  kFileNotFound = 2,
  kPathNotFound = 3,
  kAccessDenied = 5,
  kOutOfMemory = 8,
  kBadFormat = 11,
  kSharingViolation = 26,
  kNoAssociation = 31,
  kUnknown = 0,
};

// Starts the program at `path` with `workingDirectory` as its current
// directory, in a process of its own. Not waited for. A downloaded program
// has no execute permission yet: its owner is given it first.
LaunchResult LaunchProgram(const std::string& path, const std::string& workingDirectory);

// Hands a web address or a folder to the desktop's opener (xdg-open), not
// waited for; false when the opener could not be started.
bool OpenWithDesktop(const std::string& target);

// Shows a file selected in the desktop's file manager (the file-manager
// interface of the session bus); where no file manager answers, its folder
// is opened instead. Not waited for.
void ShowInFileManager(const std::string& path);

}  // namespace pf::platform
