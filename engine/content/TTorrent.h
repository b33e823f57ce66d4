#pragma once
// A task's torrent metainfo: the info-hash in its three forms, the trackers,
// the descriptive texts and the layout the piece map is built from (piece
// length, piece hashes, total length, target files).
//
// Nothing in a metainfo is trusted: a torrent whose layout does not add up or
// whose file names would leave the save folder is refused, with a text in
// Error() saying why.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/content/TTorrentFile.h"
#include "engine/content/TTorrentOwner.h"
#include "engine/content/TTorrentPreviousFiles.h"

namespace pf {

class QElement;

class TTorrent {
 public:
  static constexpr int kPhaseReading = 3;
  static constexpr int kPhaseRead = 4;
  static constexpr int kErrorUnreadable = 20211;  // task state: torrent unreadable
  // Larger pieces are no real torrent and would make piece buffers absurd.
  static constexpr int64_t kMaxPieceLength = int64_t{1} << 30;
  // A metainfo file is read whole into memory; the bencode reader takes int sizes.
  static constexpr int64_t kMaxMetainfoBytes = int64_t{256} << 20;

  using InfoHash = std::array<uint8_t, 20>;

  explicit TTorrent(TTorrentOwner* owner = nullptr,
                    std::shared_ptr<TTorrentPreviousFiles> previous = nullptr);
  TTorrent(const TTorrent&) = delete;
  TTorrent& operator=(const TTorrent&) = delete;
  ~TTorrent();

  // The source Open() reads: a task link ("file://" address or task-link
  // template) and metainfo bytes held in memory, which win over a file address.
  void SetTaskLink(std::string link) { taskLink_ = std::move(link); }
  void SetTorrentBytes(std::string bytes) { torrentBytes_ = std::move(bytes); }
  // Save folder and, for a task that names its file, the explicit target.
  void SetBaseDirectory(std::string directory) { baseDirectory_ = std::move(directory); }
  void SetTargetFile(std::string path) { targetFile_ = std::move(path); }
  // The piece map of an earlier opening of the same task; replaces the one held.
  void SetPreviousPieces(std::shared_ptr<TTorrentPreviousFiles> previous);

  bool Open();
  bool OpenFileAddress(std::string_view address);
  // The bytes are only used during the call: the info-hash is taken from them.
  bool OpenBytes(const char* bytes, int64_t length);
  // Empties texts, hash, trackers and layout; the code page stays.
  void Reset();
  // A task-link template names its content only by info-hash (with its hex
  // text as written) and one tracker.
  void SetTemplateIdentity(const InfoHash& hash, std::string hexAsWritten, std::string announce) {
    infoHash_ = hash;
    infoHashHex_ = std::move(hexAsWritten);
    infoHashEscaped_ = EscapeInfoHash(hash);
    announce_ = announce;
    trackers_.push_back(std::move(announce));
  }
  // The task's explicit target file; empty when it names none.
  const std::string& TargetFile() const { return targetFile_; }

  // "GBK" 936, "BIG5" 950, "KOR" 949, "Shift-JIS" 932 (any case), else 0.
  static int CodePageFromName(std::string_view name);
  // A tracker URL from its raw text: from the first h/H/u/U on, trailing '|'
  // dropped; empty when fewer than two bytes remain.
  static std::string CleanTracker(std::string_view raw);
  // Letters and digits kept, every other byte as %xx (lower-case hex).
  static std::string EscapeInfoHash(const InfoHash& hash);

  int CodePage() const { return codePage_; }
  void SetCodePage(int codePage) { codePage_ = codePage; }
  const std::string& Announce() const { return announce_; }
  const std::string& Publisher() const { return publisher_; }
  const std::string& PublisherUrl() const { return publisherUrl_; }
  const std::string& Comment() const { return comment_; }
  int64_t CreationDate() const { return creationDate_; }
  const InfoHash& GetInfoHash() const { return infoHash_; }
  const std::string& InfoHashEscaped() const { return infoHashEscaped_; }
  const std::string& InfoHashHex() const { return infoHashHex_; }
  // In the order read: "announce" first (empty when missing), then the
  // "announce-list" entries. Duplicates stay.
  const std::vector<std::string>& Trackers() const { return trackers_; }
  const std::string& TorrentBytes() const { return torrentBytes_; }
  const std::string& TaskLink() const { return taskLink_; }

  // Layout, valid after a successful open.
  const std::string& Name() const { return name_; }
  int32_t PieceLength() const { return pieceLength_; }
  int32_t PieceCount() const { return pieceCount_; }
  // pieceCount * 20 bytes, the SHA-1 of every piece in order.
  const std::string& PieceHashes() const { return pieceHashes_; }
  int64_t TotalLength() const { return totalLength_; }
  const std::vector<TTorrentFile>& Files() const { return files_; }
  bool IsMultiFile() const { return multiFile_; }

  // Why the last open failed; empty after success.
  const std::string& Error() const { return error_; }

 private:
  bool ReadMetainfo(QElement* root, const char* bytes, int length);
  bool ReadInfo(QElement* info);
  bool ReadFiles(QElement* files, const std::string& directory, const std::string& prefix);
  void TakeOverPlaces(TTorrentPreviousFiles* previous);
  int WalkAnnounceList(QElement* container, int depth);
  bool Refuse(std::string text);
  void SetPhase(int phase);

  TTorrentOwner* owner_;
  std::shared_ptr<TTorrentPreviousFiles> previous_;

  int codePage_ = 0;
  std::string announce_;
  std::string publisher_;
  std::string publisherUrl_;
  std::string comment_;
  int64_t creationDate_ = 0;
  InfoHash infoHash_{};
  std::string infoHashEscaped_;
  std::string infoHashHex_;
  std::vector<std::string> trackers_;
  std::string torrentBytes_;
  std::string taskLink_;

  std::string baseDirectory_;
  std::string targetFile_;

  std::string name_;
  int32_t pieceLength_ = 0;
  int32_t pieceCount_ = 0;
  std::string pieceHashes_;
  int64_t totalLength_ = 0;
  std::vector<TTorrentFile> files_;
  bool multiFile_ = false;

  std::string error_;
};

}  // namespace pf
