#include "app/ResourceExtraction.h"

#include <fstream>

#include "engine/base/CPelicanfetchLog.h"
#include "platform/FileSystem.h"
#include "platform/SystemFolders.h"

namespace pf {
namespace {

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool WriteWhole(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

}  // namespace

Extraction ExtractResource(std::string_view bytes, const std::string& folder, const std::string& fileName) {
  const std::string first = JoinPath(folder, fileName);
  platform::CreateDirectories(folder.c_str());
  if (!bytes.empty() && WriteWhole(first, bytes)) return {Extraction::Place::kFolder, first};
  LogLine(kLogExtraction, "Pelicanfetch UI : 释放文件(path=%s)第一次失败", first.c_str());
  const std::string second = JoinPath(platform::TemporaryFolder(), fileName);
  if (!bytes.empty() && WriteWhole(second, bytes)) return {Extraction::Place::kTemporaryFolder, second};
  LogLine(kLogExtraction, "Pelicanfetch UI : 初始化失败，释放文件(path=%s)第二次失败", second.c_str());
  return {};
}

}  // namespace pf
