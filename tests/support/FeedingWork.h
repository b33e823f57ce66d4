#pragma once
// A work object whose "peers" are the torrent's own bytes: each tick it hands
// a few blocks to the piece map, as an HTTP source would, so the work loop
// runs for real without a network. Its clocks can be moved forward.
#include <atomic>
#include <cstdio>
#include <string>

#include "engine/base/QTimeThread.h"
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
    monotonicClock = [this] { return MonotonicSeconds() + monotonicOffset.load(); };
    saveIntervalSeconds = 1;
    wallClock = [this] { return WallSeconds() + wallOffset.load(); };
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

  std::atomic<uint32_t> monotonicOffset{0};
  std::atomic<int64_t> wallOffset{0};
  int blocksPerTick = 8;

 protected:
  void DrivePeers() override {
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
