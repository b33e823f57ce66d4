#include "engine/content/PieceHasher.h"

#include <algorithm>
#include <cstring>

namespace pf {

PieceHasher::PieceHasher() : thread_([this] { Run(); }) {}

PieceHasher::~PieceHasher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool PieceHasher::HasRoom() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inFlight_ < kMaxInFlight;
}

void PieceHasher::Submit(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(std::move(job));
    ++inFlight_;
  }
  wake_.notify_one();
}

std::vector<PieceHasher::Job> PieceHasher::TakeFinished() {
  std::vector<Job> done;
  std::lock_guard<std::mutex> lock(mutex_);
  done.swap(finished_);
  inFlight_ -= done.size();
  return done;
}

void PieceHasher::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return waiting_.empty() && finished_.size() == inFlight_; });
}

void PieceHasher::Check(Job& job) {
  job.good = Matches(job.chunks, job.chunkSize, job.from, job.size, job.running.get(), job.expected.data())
                 .value_or(false);
}

std::optional<bool> PieceHasher::Matches(const std::vector<PoolBuffer>& chunks, int chunkSize, int from, int size,
                                         Sha1* running, const uint8_t* expected) {
  Sha1 fresh;
  Sha1& hash = running ? *running : fresh;
  for (int position = from; position < size;) {
    const size_t chunk = static_cast<size_t>(position / chunkSize);
    const int chunkStart = static_cast<int>(chunk) * chunkSize;
    const int end = std::min(size, chunkStart + chunkSize);
    if (chunk >= chunks.size() || !chunks[chunk]) return std::nullopt;
    hash.update(chunks[chunk].data() + (position - chunkStart), static_cast<size_t>(end - position));
    position = end;
  }
  Sha1::Digest digest;
  return hash.finish(digest) && expected && std::memcmp(digest.data(), expected, digest.size()) == 0;
}

void PieceHasher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (stop_) return;
    Job job = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    Check(job);
    lock.lock();
    finished_.push_back(std::move(job));
    if (waiting_.empty()) idle_.notify_all();
  }
}

}  // namespace pf
