#include "platform/Volume.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pf::platform {
namespace {

// File systems that keep holes (no blocks for bytes never written).
constexpr long kSparseTypes[] = {
    0xEF53,      // ext2/3/4
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
    0xF2F52010,  // f2fs
    0x2FC12FC1,  // zfs
    0x794C7630,  // overlayfs
    0x65735546,  // fuse (most keep holes)
};
constexpr long kDenseTypes[] = {
    0x4D44,      // vfat
    0x2011BAB0,  // exfat
    0x5346544E,  // ntfs (kernel driver without holes)
    0x9660,      // iso9660
};

std::string ExistingParent(std::string path) {
  std::error_code ec;
  while (!path.empty() && !std::filesystem::exists(path, ec)) {
    const size_t cut = path.find_last_of('/');
    if (cut == std::string::npos || cut == 0) return "/";
    path.resize(cut);
  }
  return path;
}

}  // namespace

std::vector<std::string> SaveFolderCandidates() {
  std::vector<std::string> folders;
  if (const char* home = std::getenv("HOME"); home && *home) folders.emplace_back(home);
  std::vector<std::string> prefixes = {"/media/", "/mnt/"};
  if (const char* user = std::getenv("USER"); user && *user) prefixes.push_back(std::string("/run/media/") + user + "/");
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  for (const std::string& prefix : prefixes) {
    mounts.clear();
    mounts.seekg(0);
    while (std::getline(mounts, line)) {
      std::istringstream fields(line);
      std::string device, point;
      fields >> device >> point;
      if (point.rfind(prefix, 0) == 0 && ::access(point.c_str(), W_OK) == 0) folders.push_back(point);
    }
  }
  return folders;
}

SparseFiles SparseFileSupport(const std::string& path) {
  struct statfs info {};
  if (::statfs(ExistingParent(path).c_str(), &info) != 0) return SparseFiles::kUnknown;
  const long type = static_cast<long>(info.f_type);
  for (long t : kSparseTypes)
    if (t == type) return SparseFiles::kSupported;
  for (long t : kDenseTypes)
    if (t == type) return SparseFiles::kUnsupported;
  return SparseFiles::kUnknown;
}

}  // namespace pf::platform
