#pragma once
// A work object whose "peers" are the torrent's own bytes: each tick it hands
// a few blocks to the piece map, as an HTTP source would, so the work loop
// runs for real without a network. It counts the loop's passes, so that a
// test that moves the engine's clock can wait until the loop has seen it.
#include <atomic>
#include <cstdio>
#include <string>

#include "engine/base/ScopedLock.h"
#include "engine/content/BlockSize.h"
#include "engine/task/TWorkThread.h"

namespace pf::testing {

// Feeds the torrent's bytes, a few blocks per tick, up to a chosen number of
// pieces, as an HTTP source would.
class FeedingWork : public TWorkThread {
 public:
  FeedingWork(const std::string& torrentPath, const std::string& content, int feedPieces)
      : torrentPath_(torrentPath), content_(content), feedPieces_(feedPieces) {
    saveIntervalSeconds = 1;
  }
  ~FeedingWork() override { Stop(); }

  void Configure(const std::string& target, const std::string& stateFile, uint32_t flags) {
    TaskParams params{};
    std::snprintf(params.key, sizeof(params.key), "file://%s", torrentPath_.c_str());
    std::snprintf(params.target, sizeof(params.target), "%s", target.c_str());
    std::snprintf(params.resumePath, sizeof(params.resumePath), "%s", stateFile.c_str());
    params.sourceList = "";
    params.flags = flags;
    ApplyParams(params, true);
  }
  TaskConfig& MutableConfig() { return config; }
  void SetFeedPieces(int n) { feedPieces_ = n; }
  // Hands the task a torrent as its key source would deliver one.
  void DeliverTorrent(const std::string& bytes) {
    ScopedLock lock(&mutex);
    stateStore.SetTorrent(bytes);
    reloadMetadata = 1;
  }

  int blocksPerTick = 8;
  // Passes of the work loop; each drives the peers once.
  std::atomic<int> passes{0};

 protected:
  void DrivePeers() override {
    ++passes;
    TPieces* map = Pieces();
    if (!map) return;
    for (int blocks = 0; blocks < blocksPerTick && nextPiece_ < feedPieces_; ++blocks) {
      TPiece* piece = map->Piece(nextPiece_);
      if (!piece || map->IsHeld(nextPiece_)) {
        ++nextPiece_;
        nextOffset_ = 0;
        continue;
      }
      const int length = std::min(kBlockSize, piece->size - nextOffset_);
      const auto* bytes = reinterpret_cast<const uint8_t*>(content_.data()) +
                          map->PieceStart(nextPiece_) + nextOffset_;
      piece->Receive(bytes, length, nextOffset_, nullptr);
      CountPayload(kHttp, length);
      nextOffset_ += length;
      if (nextOffset_ >= piece->size) {
        ++nextPiece_;
        nextOffset_ = 0;
      }
    }
  }

 private:
  const std::string torrentPath_;
  const std::string& content_;
  std::atomic<int> feedPieces_;
  int nextPiece_ = 0;
  int nextOffset_ = 0;
};

}  // namespace pf::testing
