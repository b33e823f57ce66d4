#include "engine/task/TorrentMetadata.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#include "engine/base/EngineClock.h"
#include "platform/ThreadIdentity.h"

namespace pf {
namespace {

constexpr char kFileScheme[] = "file://";
constexpr size_t kFileSchemeLength = sizeof(kFileScheme) - 1;

}  // namespace

bool TorrentMetadata::IsFileKey(const std::string& key) {
  if (key.size() < kFileSchemeLength) return false;
  for (size_t i = 0; i < kFileSchemeLength; ++i)
    if (std::tolower(static_cast<unsigned char>(key[i])) != kFileScheme[i]) return false;
  return true;
}

std::string TorrentMetadata::ReadKeyFile(const std::string& key) {
  if (!IsFileKey(key)) return std::string();
  std::ifstream in(key.substr(kFileSchemeLength), std::ios::binary);
  if (!in) return std::string();
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (content.size() <= 2 || (content[0] != 'd' && content[0] != 'D')) return std::string();
  return content;
}

std::unique_ptr<TTorrent> TorrentMetadata::Open(const Inputs& inputs, TTorrentOwner* owner) {
  auto torrent = std::make_unique<TTorrent>(owner);
  torrent->SetTaskLink(inputs.taskLink);
  torrent->SetTorrentBytes(inputs.torrentBytes);
  torrent->SetBaseDirectory(inputs.saveFolder);
  if (!inputs.targetFile.empty()) torrent->SetTargetFile(inputs.targetFile);
  if (!torrent->Open()) return nullptr;
  return torrent;
}

RefPtr<TPieces> TorrentMetadata::LayOut(const Inputs& inputs, TTorrent& torrent, PieceEventSink* sink) {
  auto map = RefPtr<TPieces>::Make(sink);
  map->baseDirectory = inputs.saveFolder;
  map->memoryLimit = inputs.memoryLimit;
  map->growWholeFile = 1;
  map->sizesOnlyCheck = inputs.sizesOnlyCheck ? 1 : 0;
  map->partialsPath = inputs.partialsPath;
  map->fileSelection = inputs.fileList;
  map->resumeRecord = inputs.resumeRecord;
  map->torrent = &torrent;
  map->LoadLayout(torrent);
  return map;
}

std::vector<std::string> TorrentMetadata::NewTrackerSources(const TTorrent& torrent,
                                                           const std::vector<std::string>& sources) {
  std::vector<std::string> added;
  for (const std::string& url : torrent.Trackers()) {
    if (url.empty()) continue;
    std::string source = "tracker://" + url;
    if (std::find(sources.begin(), sources.end(), source) != sources.end()) continue;
    if (std::find(added.begin(), added.end(), source) != added.end()) continue;
    added.push_back(std::move(source));
  }
  return added;
}

BtHash TorrentMetadata::MakePeerId(const TTorrent& torrent, uintptr_t taskAddress, uint32_t localIp) {
  BtPeerIdSeed seed;
  seed.announceUrl = torrent.Announce();
  seed.threadHandle = platform::CurrentThreadId();
  seed.taskAddress = taskAddress;
  seed.clock = TickMs();
  seed.localIp = localIp;
  return MakeBtPeerId(seed);
}

}  // namespace pf
