#include "engine/content/BufferPool.h"

#include "engine/base/CPelicanfetchLog.h"

#include <algorithm>
#include <new>

namespace pf {

PoolBuffer& PoolBuffer::operator=(PoolBuffer&& other) noexcept {
  if (this == &other) return *this;
  Release();
  pool_ = other.pool_;
  data_ = std::move(other.data_);
  size_ = other.size_;
  capacity_ = other.capacity_;
  other.pool_ = nullptr;
  other.size_ = 0;
  other.capacity_ = 0;
  return *this;
}

void PoolBuffer::Release() {
  if (data_ && pool_) pool_->GiveBack(std::move(data_), capacity_);
  data_.reset();
  pool_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

PoolBuffer BufferPool::Take(int size) {
  int n = size < 1 ? 1 : size;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find_if(free_.begin(), free_.end(), [n](const auto& e) { return e.first == n; });
    if (found == free_.end()) {
      // A slightly larger buffer is as good; a much larger one would waste memory.
      int tolerance = std::min(n, 1024);
      found = std::find_if(free_.begin(), free_.end(), [n, tolerance](const auto& e) {
        return e.first > n && e.first - n < tolerance;
      });
    }
    if (found != free_.end()) {
      int capacity = found->first;
      std::unique_ptr<uint8_t[]> data = std::move(found->second);
      free_.erase(found);
      freeBytes_ -= capacity;
      inUseBytes_ += capacity;
      return PoolBuffer(this, std::move(data), n, capacity);
    }
  }
  std::unique_ptr<uint8_t[]> data;
  try {
    data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(n) + 1);
  } catch (const std::bad_alloc&) {
    LogCaught(kLogEngine, "BufferPool::Take");
    return PoolBuffer();
  }
  // The extra 0 byte lets text be read straight out of a buffer.
  data[n] = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inUseBytes_ += n;
  }
  return PoolBuffer(this, std::move(data), n, n);
}

void BufferPool::GiveBack(std::unique_ptr<uint8_t[]> data, int capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  inUseBytes_ -= capacity;
  freeBytes_ += capacity;
  free_.emplace_back(capacity, std::move(data));
}

void BufferPool::Trim(int64_t limit) {
  std::vector<std::pair<int, std::unique_ptr<uint8_t[]>>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t total = 0;
    size_t keep = 0;
    while (keep < free_.size() && total + free_[keep].first <= limit) total += free_[keep++].first;
    dropped.assign(std::make_move_iterator(free_.begin() + static_cast<std::ptrdiff_t>(keep)),
                   std::make_move_iterator(free_.end()));
    free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(keep), free_.end());
    freeBytes_ = total;
  }
  // The memory is given back to the system outside the lock.
}

int64_t BufferPool::TotalBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUseBytes_ + freeBytes_;
}

int64_t BufferPool::InUseBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUseBytes_;
}

int64_t BufferPool::FreeBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return freeBytes_;
}

BufferPool& BufferPool::Data() {
  // Never destroyed: buffers held by other static objects may come back
  // after the end of main.
  static BufferPool* const pool = std::make_unique<BufferPool>().release();
  return *pool;
}

}  // namespace pf
