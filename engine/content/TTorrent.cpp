#include "engine/content/TTorrent.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <system_error>

#include "engine/content/Bencode.h"
#include "engine/content/Sha1.h"

namespace pf {
namespace {

constexpr std::string_view kTemplateMarker = "$End$";
constexpr std::string_view kEmptyNameReplacement = "strRecommend";
constexpr int kMaxWalkDepth = QMultiElement::kMaxNestingDepth + 1;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsText(const QElement* element) {
  return IsValid(element) && element->Kind() == QElement::kKindText;
}

bool IsDictionary(const QElement* element) {
  return IsValid(element) && element->Kind() == QElement::kKindDictionary;
}

bool IsList(const QElement* element) {
  return IsValid(element) && element->Kind() == QElement::kKindList;
}

// The key element of a dictionary entry, matched without regard to case. Only
// key positions are looked at, so a value that happens to read "info" is never
// taken for the key.
QElement* FindKey(QElement* dictionary, std::string_view key) {
  QElement* child = dictionary->ChildAt(0);
  while (child) {
    if (IsText(child) && EqualsIgnoringCase(TextBytes(child), key)) return child;
    QElement* next = dictionary->NextSibling(child);
    // A key carrying its integer is a whole entry; otherwise its value follows.
    if (next && !HasInteger(child)) next = dictionary->NextSibling(next);
    child = next;
  }
  return nullptr;
}

// The value element of a key found by FindKey; null for an integer entry.
QElement* ValueOf(QElement* dictionary, QElement* key) {
  if (!key || HasInteger(key)) return nullptr;
  return dictionary->NextSibling(key);
}

std::string TrimControls(std::string text) {
  auto blank = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= 32;
  };
  size_t begin = 0;
  while (begin < text.size() && blank(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// A file or folder name from the metainfo must stay one name: nothing that
// climbs out of, or jumps past, the save folder.
bool CheckComponent(std::string_view component, std::string& why) {
  if (component.empty()) {
    why = "an empty path component";
  } else if (component == "." || component == "..") {
    why = "the path component \"" + std::string(component) + "\"";
  } else if (std::any_of(component.begin(), component.end(), IsSeparator)) {
    why = "a path separator inside the component \"" + std::string(component) + "\"";
  } else if (component.find('\0') != std::string_view::npos) {
    why = "a NUL byte inside a path component";
  } else if (component.size() >= 2 && component[1] == ':' &&
             ((component[0] >= 'A' && component[0] <= 'Z') ||
              (component[0] >= 'a' && component[0] <= 'z'))) {
    why = "a drive letter in the component \"" + std::string(component) + "\"";
  } else {
    return true;
  }
  return false;
}

bool EndsWithFolder(std::string_view directory, std::string_view folder) {
  // `folder` ends with '/'; it must start right after a separator (or at 0).
  if (directory.size() < folder.size()) return false;
  const size_t start = directory.size() - folder.size();
  if (!EqualsIgnoringCase(directory.substr(start), folder)) return false;
  return start == 0 || IsSeparator(directory[start - 1]);
}

bool ExistsOnDisk(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::path(path), error);
}

}  // namespace

TTorrent::TTorrent(TTorrentOwner* owner, std::shared_ptr<TTorrentPreviousFiles> previous)
    : owner_(owner), previous_(std::move(previous)) {}

TTorrent::~TTorrent() = default;

void TTorrent::SetPreviousPieces(std::shared_ptr<TTorrentPreviousFiles> previous) {
  previous_ = std::move(previous);
}

void TTorrent::Reset() {
  announce_.clear();
  publisher_.clear();
  publisherUrl_.clear();
  comment_.clear();
  creationDate_ = 0;
  infoHash_.fill(0);
  infoHashEscaped_.clear();
  infoHashHex_.clear();
  trackers_.clear();
  name_.clear();
  pieceLength_ = 0;
  pieceCount_ = 0;
  pieceHashes_.clear();
  totalLength_ = 0;
  files_.clear();
  multiFile_ = false;
}

int TTorrent::CodePageFromName(std::string_view name) {
  if (EqualsIgnoringCase(name, "GBK")) return 936;
  if (EqualsIgnoringCase(name, "BIG5")) return 950;
  if (EqualsIgnoringCase(name, "KOR")) return 949;
  if (EqualsIgnoringCase(name, "Shift-JIS")) return 932;
  return 0;
}

std::string TTorrent::CleanTracker(std::string_view raw) {
  const size_t start = raw.find_first_of("hHuU");
  if (start == std::string_view::npos) return {};
  std::string_view url = raw.substr(start);
  while (!url.empty() && url.back() == '|') url.remove_suffix(1);
  if (url.size() < 2) return {};
  return std::string(url);
}

std::string TTorrent::EscapeInfoHash(const InfoHash& hash) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : hash) {
    const bool keep = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= 'a' && byte <= 'z');
    if (keep) {
      text += static_cast<char>(byte);
    } else {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return text;
}

void TTorrent::SetPhase(int phase) {
  if (owner_) owner_->SetRunPhase(phase);
}

bool TTorrent::Refuse(std::string text) {
  error_ = std::move(text);
  return false;
}

bool TTorrent::Open() {
  if (taskLink_.find(kTemplateMarker) != std::string::npos) {
    error_.clear();
    SetPhase(kPhaseReading);
    const bool read = owner_ && owner_->ReadTaskLinkTemplate(taskLink_);
    SetPhase(kPhaseRead);
    if (!read) error_ = "the task-link template cannot be read";
    return read;
  }
  if (torrentBytes_.empty()) return OpenFileAddress(taskLink_);
  return OpenBytes(torrentBytes_.data(), static_cast<int64_t>(torrentBytes_.size()));
}

bool TTorrent::OpenFileAddress(std::string_view address) {
  error_.clear();
  if (StartsWithIgnoringCase(address, "http://Kademlia/"))
    return Refuse("a Kademlia address is no torrent file");
  if (!StartsWithIgnoringCase(address, "file://"))
    return Refuse("not a file:// address: " + std::string(address));
  const std::string path(address.substr(7));

  std::string content;
  bool readable = false;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      in.seekg(0, std::ios::end);
      const std::streamoff size = in.tellg();
      if (size >= 0 && size <= kMaxMetainfoBytes) {
        in.seekg(0, std::ios::beg);
        content.resize(static_cast<size_t>(size));
        readable = size == 0 || static_cast<bool>(in.read(content.data(), size));
      }
    }
  }
  if (!readable || content.size() <= 2 || (content[0] != 'd' && content[0] != 'D')) {
    if (owner_) {
      owner_->SetErrorCode(kErrorUnreadable);
      owner_->Fail({});
    }
    return Refuse(readable ? "not a bencoded torrent: " + path : "cannot read " + path);
  }
  return OpenBytes(content.data(), static_cast<int64_t>(content.size()));
}

bool TTorrent::OpenBytes(const char* bytes, int64_t length) {
  error_.clear();
  if (!bytes || length <= 0) return Refuse("no metainfo bytes");
  if (length > INT_MAX) return Refuse("the metainfo is too large");
  SetPhase(kPhaseReading);
  Reset();
  bool read = false;
  if (bytes[0] != 'd' && bytes[0] != 'D') {
    Refuse("the metainfo is not a bencoded dictionary");
  } else {
    std::unique_ptr<QElement> root = ParseElement(bytes, static_cast<int>(length));
    if (!root || !IsDictionary(root.get()))
      Refuse("the metainfo is not a well-formed bencoded dictionary");
    else
      read = ReadMetainfo(root.get(), bytes, static_cast<int>(length));
  }
  if (!read) Reset();
  SetPhase(kPhaseRead);
  return read;
}

int TTorrent::WalkAnnounceList(QElement* container, int depth) {
  if (depth > kMaxWalkDepth) return 0;
  if (!IsList(container) && !IsDictionary(container)) return 0;
  int added = 0;
  for (QElement* child = container->ChildAt(0); child; child = container->NextSibling(child)) {
    if (IsText(child)) {
      const std::string_view text = TextBytes(child);
      if (text == "Tracker") continue;
      if (text == "Name") break;
      if (text.empty()) continue;
      trackers_.push_back(CleanTracker(text));
      ++added;
    } else {
      added += WalkAnnounceList(child, depth + 1);
    }
  }
  return added;
}

bool TTorrent::ReadMetainfo(QElement* root, const char* bytes, int length) {
  if (codePage_ == 0) {
    if (QElement* key = FindKey(root, "codepage")) {
      codePage_ = static_cast<int>(IntegerValue(key));
    } else if (QElement* key = FindKey(root, "encoding")) {
      codePage_ = CodePageFromName(TextBytes(ValueOf(root, key)));
    }
  }
  if (codePage_ != 0) root->SetCodePage(codePage_);

  QElement* announceKey = FindKey(root, "announce");
  announce_ = TrimControls(CleanTracker(TextBytes(ValueOf(root, announceKey))));
  trackers_.push_back(announce_);

  if (QElement* key = FindKey(root, "announce-list")) WalkAnnounceList(ValueOf(root, key), 0);

  comment_ = LocalText(ValueOf(root, FindKey(root, "comment")));
  publisher_ = LocalText(ValueOf(root, FindKey(root, "publisher")));
  publisherUrl_ = LocalText(ValueOf(root, FindKey(root, "publisher-url")));
  creationDate_ = IntegerValue(FindKey(root, "creation date"));

  QElement* info = ValueOf(root, FindKey(root, "info"));
  const char* source = SourceBytes(info);
  const int size = EncodedSizeOf(info);
  if (!IsDictionary(info) || !source || size <= 0 || source < bytes ||
      source - bytes > length - size)
    return Refuse("the metainfo has no info dictionary");
  infoHash_ = Sha1::hash(source, static_cast<size_t>(size));
  infoHashEscaped_ = EscapeInfoHash(infoHash_);
  infoHashHex_ = Sha1::toHex(infoHash_);

  if (publisher_.empty()) publisher_ = LocalText(ValueOf(info, FindKey(info, "publisher")));
  if (publisherUrl_.empty())
    publisherUrl_ = LocalText(ValueOf(info, FindKey(info, "publisher-url")));

  if (!ReadInfo(info)) return false;
  previous_.reset();
  return true;
}

bool TTorrent::ReadInfo(QElement* info) {
  // Keep the earlier layout only when it was complete; its files are matched
  // by index once the new entries are made.
  std::shared_ptr<TTorrentPreviousFiles> previous;
  if (previous_ && previous_->IsComplete()) {
    previous = previous_;
    previous->ClearFileState();
  }

  QElement* nameValue = info->FindValue("name", 4);
  name_ = LocalText(nameValue);

  QElement* pieceLength = info->FindValue("piece length", 12);
  if (!HasInteger(pieceLength) || IntegerValue(pieceLength) <= 0)
    return Refuse("the piece length is missing or not positive");
  if (IntegerValue(pieceLength) > kMaxPieceLength)
    return Refuse("the piece length is larger than 1 GiB");
  pieceLength_ = static_cast<int32_t>(IntegerValue(pieceLength));

  QElement* pieces = info->FindValue("pieces", 6);
  const int piecesLength = IsText(pieces) && !HasInteger(pieces) ? TextLength(pieces) : -1;
  if (piecesLength < 20 || piecesLength % 20 != 0)
    return Refuse("the piece hashes are missing or not a multiple of 20 bytes");
  pieceHashes_.assign(TextBytes(pieces));
  pieceCount_ = piecesLength / 20;

  std::string directory = baseDirectory_;
  if (!directory.empty() && !IsSeparator(directory.back())) directory += '/';

  std::string why;
  QElement* length = info->FindValue("length", 6);
  if (length) {
    multiFile_ = false;
    if (name_.empty()) name_ = kEmptyNameReplacement;
    if (!CheckComponent(name_, why)) return Refuse("unsafe torrent name: " + why);
    if (!HasInteger(length) || IntegerValue(length) <= 0)
      return Refuse("the file length is not positive");
    TTorrentFile file;
    file.place.path = targetFile_.empty() ? directory + name_ : targetFile_;
    file.relativeName = name_;
    file.length = IntegerValue(length);
    files_.push_back(std::move(file));
  } else {
    multiFile_ = true;
    std::string prefix;
    if (!name_.empty()) {
      if (!CheckComponent(name_, why)) return Refuse("unsafe torrent name: " + why);
      prefix = name_ + '/';
      // A save folder that already is the torrent's folder is not nested twice.
      if (EndsWithFolder(directory, prefix)) directory.resize(directory.size() - prefix.size());
    }
    QElement* files = info->FindValue("files", 5);
    if (!IsList(files) || files->Count() == 0)
      return Refuse("the torrent has neither a file length nor a files list");
    if (!ReadFiles(files, directory, prefix)) return false;
  }

  // Place each entry in the byte stream and on disk.
  int64_t offset = 0;
  for (size_t i = 0; i < files_.size(); ++i) {
    TTorrentFile& file = files_[i];
    if (file.length > std::numeric_limits<int64_t>::max() - offset)
      return Refuse("the file lengths overflow");
    file.index = static_cast<int>(i);
    file.offset = offset;
    file.firstPiece = offset / pieceLength_;
    file.lastPiece = file.length > 0 ? (offset + file.length - 1) / pieceLength_ : file.firstPiece;
    offset += file.length;
  }
  totalLength_ = offset;
  if (previous) TakeOverPlaces(previous.get());

  if (files_.empty() || totalLength_ <= 0) return Refuse("the torrent holds no data");
  const int64_t expected = totalLength_ / pieceLength_ + (totalLength_ % pieceLength_ != 0);
  if (expected != pieceCount_)
    return Refuse("the piece hashes (" + std::to_string(pieceCount_) +
                  ") do not match the total length (" + std::to_string(expected) + " pieces)");

  if (previous) previous->ClearFileState();
  return true;
}

bool TTorrent::ReadFiles(QElement* files, const std::string& directory, const std::string& prefix) {
  const int count = files->Count();
  std::string why;
  for (QElement* entry = files->ChildAt(0);
       entry && static_cast<int>(files_.size()) < count && IsDictionary(entry) && entry->Count() > 0;
       entry = files->NextSibling(entry)) {
    QElement* length = entry->FindValue("length", 6);
    QElement* path = entry->FindValue("path", 4);
    // A malformed entry ends the list; the layout check judges what was read.
    if (!HasInteger(length) || !path || path->Count() < 1) break;
    if (IntegerValue(length) < 0) return Refuse("a file length is negative");

    std::string relative = prefix;
    const int components = path->Count();
    int index = 0;
    for (QElement* part = path->ChildAt(0); part; part = path->NextSibling(part), ++index) {
      if (!IsText(part) || HasInteger(part))
        return Refuse("a file path holds something other than names");
      const std::string_view raw = TextBytes(part);
      // A last empty component marks a folder.
      if (raw.empty() && index == components - 1) {
        if (!relative.empty() && relative.back() != '/') relative += '/';
        continue;
      }
      const std::string component = LocalText(part);
      if (!CheckComponent(raw.find('\0') != std::string_view::npos ? raw : component, why))
        return Refuse("unsafe file path: " + why);
      if (!relative.empty() && relative.back() != '/') relative += '/';
      relative += component;
    }

    if (relative.empty() || relative.back() == '/') {
      if (IntegerValue(length) != 0) break;
      if (!directory.empty()) {
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(directory + relative), error);
      }
      continue;
    }
    TTorrentFile file;
    file.place.path = directory + relative;
    file.relativeName = std::move(relative);
    file.length = IntegerValue(length);
    files_.push_back(std::move(file));
  }
  // Two entries on one path would share a file on disk (and the task would
  // count pieces neither holds as done); a file that is also a folder of
  // another cannot exist at all.
  std::set<std::string_view> names;
  for (const TTorrentFile& f : files_)
    if (!names.insert(f.relativeName).second) return Refuse("two files have the path " + f.relativeName);
  for (const TTorrentFile& f : files_)
    for (size_t slash = f.relativeName.find('/'); slash != std::string::npos;
         slash = f.relativeName.find('/', slash + 1))
      if (names.count(std::string_view(f.relativeName).substr(0, slash)))
        return Refuse("the path " + f.relativeName.substr(0, slash) + " is both a file and a folder");
  return true;
}

void TTorrent::TakeOverPlaces(TTorrentPreviousFiles* previous) {
  for (TTorrentFile& file : files_) {
    TTorrentFilePlace place;
    if (!previous->FilePlace(file.index, place) || place.path.empty()) continue;
    if (!ExistsOnDisk(place.path)) continue;
    file.place = std::move(place);
  }
}

}  // namespace pf
