#include "platform/ProgramLauncher.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

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

namespace {

// Runs a program and waits for it: its exit status, or -1.
int RunAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void ShowInFileManager(const std::string& path) {
  std::thread([path] {
    // A file URI: the path's bytes, with what a URI may not hold escaped.
    std::string uri = "file://";
    for (unsigned char c : path) {
      if (std::isalnum(c) || std::strchr("/-._~", c)) {
        uri += static_cast<char>(c);
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        uri += escaped;
      }
    }
    const int shown = RunAndWait({"dbus-send", "--session", "--print-reply", "--reply-timeout=3000",
                                  "--dest=org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                  "org.freedesktop.FileManager1.ShowItems", "array:string:" + uri, "string:"});
    if (shown != 0) {
      const size_t cut = path.find_last_of('/');
      RunAndWait({"xdg-open", cut == std::string::npos || cut == 0 ? std::string("/") : path.substr(0, cut)});
    }
  }).detach();
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
