#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/content/BufferPool.h"
#include "engine/content/Sha1.h"

namespace pf {

class TPiece;

// Checks finished pieces against their SHA-1 on a thread of its own, so that
// the task's work thread goes on receiving meanwhile. A job owns the piece's
// buffers while it is hashed and gives them back with the verdict; nothing
// is shared between the threads but the queues.
class PieceHasher {
 public:
  struct Job {
    TPiece* piece = nullptr;
    uint32_t generation = 0;  // the piece's, when it was handed over
    std::vector<PoolBuffer> chunks;
    int chunkSize = 0;
    int from = 0;  // first byte to hash; the bytes before it are in `running`
    int size = 0;
    std::unique_ptr<Sha1> running;
    std::array<uint8_t, 20> expected{};
    bool good = false;
  };

  // Jobs handed over but not yet collected, past which callers hash on
  // their own thread instead (their memory stays bounded).
  static constexpr size_t kMaxInFlight = 8;

  PieceHasher();
  ~PieceHasher();
  PieceHasher(const PieceHasher&) = delete;
  PieceHasher& operator=(const PieceHasher&) = delete;

  bool HasRoom() const;
  void Submit(Job job);
  // Finished jobs, in the order they were handed over.
  std::vector<Job> TakeFinished();
  // Waits until every job handed over is finished.
  void WaitIdle();

  // Hashes the job's bytes and sets its verdict.
  static void Check(Job& job);
  // Whether bytes [from, size) held in chunks of `chunkSize`, after the
  // `running` hash of the bytes before them (none: from the start), give the
  // expected digest; nullopt when a chunk is missing.
  static std::optional<bool> Matches(const std::vector<PoolBuffer>& chunks, int chunkSize, int from, int size,
                                     Sha1* running, const uint8_t* expected);

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Job> waiting_;
  std::vector<Job> finished_;
  size_t inFlight_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace pf
