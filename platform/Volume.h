#pragma once
// What the application asks of the file systems it may save to.
#include <string>
#include <vector>

namespace pf::platform {

// The folders a package may go to by default, in order of preference: the
// home folder, then the writable file systems mounted under /media, /mnt
// and /run/media/$USER.
std::vector<std::string> SaveFolderCandidates();

enum class SparseFiles { kSupported, kUnsupported, kUnknown };
// Whether the file system holding `path` (or its nearest existing parent)
// grows files on demand, so that a file's size says nothing of the room it
// takes.
SparseFiles SparseFileSupport(const std::string& path);

}  // namespace pf::platform
