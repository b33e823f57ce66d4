#pragma once
// Where `pftool download` and `pftool seed` put a torrent's files, from
// --target. A single-file torrent: --target is the file. A multi-file
// torrent: --target is the folder to save in, and the files go to
// TARGET/<torrent name>/<paths> (to TARGET/<paths> when TARGET already is
// the torrent's folder, i.e. ends in its name), as other clients save them.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pftool {

struct TargetFile {
  std::filesystem::path path;  // where the file goes
  int64_t length = 0;
};

struct TargetLayout {
  bool multiFile = false;
  // What the engine is given as the task's target: the file, or the folder
  // to save in (multi-file).
  std::filesystem::path target;
  // The file, or the torrent's folder: what the run reports and what its
  // state file is named after.
  std::filesystem::path root;
  std::vector<TargetFile> files;
  // Why --target cannot be meant for this torrent; empty when it is usable.
  std::string problem;
};

// `torrent` is an existing torrent file; `seeding`: the files must be there.
// A torrent that cannot be read is taken as a single-file one: the engine's
// task reports it.
TargetLayout ResolveTarget(const std::filesystem::path& torrent, const std::string& target, bool seeding);

}  // namespace pftool
