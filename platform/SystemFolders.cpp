#include "platform/SystemFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace pf::platform {
namespace {

// An environment variable that holds an absolute path; empty otherwise (the
// base-directory rules say a relative value is to be ignored).
std::string AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::string();
  return value;
}

std::string HomeFolder() {
  std::string home = AbsoluteFromEnvironment("HOME");
  if (!home.empty()) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir && entry->pw_dir[0] == '/')
    return entry->pw_dir;
  return std::string();
}

}  // namespace

std::string ApplicationDataFolder() {
  std::string folder = AbsoluteFromEnvironment("XDG_DATA_HOME");
  if (!folder.empty()) return folder;
  const std::string home = HomeFolder();
  return home.empty() ? "/tmp" : home + "/.local/share";
}

std::string TemporaryFolder() {
  const std::string folder = AbsoluteFromEnvironment("TMPDIR");
  return folder.empty() ? "/tmp" : folder;
}

std::string RuntimeFolder() { return AbsoluteFromEnvironment("XDG_RUNTIME_DIR"); }

std::string SystemDirectory() { return std::string(); }

}  // namespace pf::platform
