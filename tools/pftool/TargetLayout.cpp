#include "TargetLayout.h"

#include "engine/content/TTorrent.h"

namespace pftool {
namespace {

namespace fs = std::filesystem;

// Whether the last components of `path` are those of `relative` ('/'
// between components).
bool EndsWithComponents(const fs::path& path, const fs::path& relative) {
  std::vector<fs::path> tail(relative.begin(), relative.end());
  std::vector<fs::path> parts(path.begin(), path.end());
  if (tail.empty() || tail.size() > parts.size()) return false;
  return std::equal(tail.rbegin(), tail.rend(), parts.rbegin());
}

// A file of the torrent that `target` names, with or without the torrent's
// folder in front; empty when it names none.
std::string FileNamedBy(const fs::path& target, const pf::TTorrent& torrent) {
  for (const pf::TTorrentFile& file : torrent.Files()) {
    const fs::path relative(file.relativeName);  // "<name>/<path>"
    const fs::path inFolder = relative.lexically_relative(torrent.Name());
    if (EndsWithComponents(target, relative) ||
        (!inFolder.empty() && inFolder.native()[0] != '.' && EndsWithComponents(target, inFolder)))
      return file.relativeName;
  }
  return {};
}

void ResolveSingle(const fs::path& target, bool seeding, TargetLayout& layout) {
  layout.root = layout.target = target;
  if (fs::is_directory(target) || !target.has_filename())
    layout.problem = target.string() + ": the target is a folder; name the file";
  else if (seeding && !fs::is_regular_file(target))
    layout.problem = target.string() + ": no such file to serve";
}

}  // namespace

TargetLayout ResolveTarget(const fs::path& torrentPath, const std::string& targetText, bool seeding) {
  TargetLayout layout;
  std::error_code error;
  const fs::path target = fs::absolute(targetText, error).lexically_normal();
  // Read without a save folder first: nothing is made on disk before the
  // target is known to be meant.
  pf::TTorrent torrent;
  if (!torrent.OpenFileAddress("file://" + torrentPath.string()) || !torrent.IsMultiFile()) {
    ResolveSingle(target, seeding, layout);
    return layout;
  }
  layout.multiFile = true;
  fs::path folder = target;
  if (!folder.has_filename()) folder = folder.parent_path();  // "dir/" is "dir"
  layout.target = folder;
  const std::string name = torrent.Name();
  const std::string shown = "\"" + name + "\"";
  if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
    layout.problem = folder.string() + " is a file; for the multi-file torrent " + shown +
                     " --target names the folder to save in";
    return layout;
  }
  if (const std::string named = FileNamedBy(folder, torrent); !named.empty()) {
    layout.problem = folder.string() + " names the file " + named + " of the multi-file torrent " + shown +
                     "; --target names the folder to save in (the files go to FOLDER/" + name + "/...)";
    return layout;
  }
  // The places the engine gives the files for this save folder.
  pf::TTorrent placed;
  placed.SetBaseDirectory(folder.string() + "/");
  if (!placed.OpenFileAddress("file://" + torrentPath.string())) {
    layout.problem = torrent.Error();
    return layout;
  }
  for (const pf::TTorrentFile& file : placed.Files()) layout.files.push_back({file.place.path, file.length});
  // The torrent's folder: where the first file's relative path begins.
  const pf::TTorrentFile& first = placed.Files().front();
  const std::string& place = first.place.path;
  layout.root = fs::path(place.substr(0, place.size() - first.relativeName.size())) / name;
  layout.root = layout.root.lexically_normal();
  if (!layout.root.has_filename()) layout.root = layout.root.parent_path();
  if (seeding && !fs::is_directory(layout.root, error))
    layout.problem = layout.root.string() + ": no such folder to serve";
  return layout;
}

}  // namespace pftool
