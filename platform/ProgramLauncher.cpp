#include "platform/ProgramLauncher.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace pf::platform {
namespace {

LaunchResult FromErrno(int error, const std::string& path) {
  switch (error) {
    case ENOENT: {
      // A missing folder is a wrong path; a missing file in an existing one
      // is a missing file.
      const size_t cut = path.find_last_of('/');
      struct stat st {};
      if (cut != std::string::npos && cut > 0 && ::stat(path.substr(0, cut).c_str(), &st) != 0)
        return LaunchResult::kPathNotFound;
      return LaunchResult::kFileNotFound;
    }
    case ENOTDIR: return LaunchResult::kPathNotFound;
    case EACCES:
    case EPERM: return LaunchResult::kAccessDenied;
    case ENOMEM:
    case E2BIG: return LaunchResult::kOutOfMemory;
    case ENOEXEC:
    case ELIBBAD: return LaunchResult::kBadFormat;
    case ETXTBSY: return LaunchResult::kSharingViolation;
    default: return LaunchResult::kUnknown;
  }
}

}  // namespace

LaunchResult LaunchProgram(const std::string& path, const std::string& workingDirectory) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IXUSR))
    ::chmod(path.c_str(), st.st_mode | S_IXUSR);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return LaunchResult::kOutOfMemory;
  if (!workingDirectory.empty() && posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str()) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return LaunchResult::kOutOfMemory;
  }
  // The program ends right after a successful launch; the installer is
  // never waited for.
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  const int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? LaunchResult::kStarted : FromErrno(error, path);
}

bool OpenWithDesktop(const std::string& target) {
  // The target is one argument of its own: no shell ever reads it.
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(target.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
  // The program goes on running: the opener is reaped when it ends.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace pf::platform
