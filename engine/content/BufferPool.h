#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace pf {

class BufferPool;

// A buffer taken from a pool; goes back to the pool when destroyed.
class PoolBuffer {
 public:
  PoolBuffer() = default;
  PoolBuffer(BufferPool* pool, std::unique_ptr<uint8_t[]> data, int size, int capacity)
      : pool_(pool), data_(std::move(data)), size_(size), capacity_(capacity) {}
  ~PoolBuffer() { Release(); }
  PoolBuffer(PoolBuffer&& other) noexcept { *this = std::move(other); }
  PoolBuffer& operator=(PoolBuffer&& other) noexcept;
  PoolBuffer(const PoolBuffer&) = delete;
  PoolBuffer& operator=(const PoolBuffer&) = delete;

  uint8_t* data() const { return data_.get(); }
  int size() const { return size_; }  // usable bytes (the allocation may be a little larger)
  explicit operator bool() const { return data_ != nullptr; }
  void Release();

 private:
  BufferPool* pool_ = nullptr;
  std::unique_ptr<uint8_t[]> data_;
  int size_ = 0;
  int capacity_ = 0;
};

// Keeps freed buffers for reuse. Taking n bytes prefers a free buffer of
// exactly n, then the first one larger by less than min(n, 1024), then
// allocates n + 1 bytes (a 0 byte after the usable ones).
class BufferPool {
 public:
  // n < 1 counts as 1. An empty buffer when memory runs out.
  PoolBuffer Take(int size);
  // Keeps free buffers, in list order, while their total stays within the
  // limit; deletes the rest.
  void Trim(int64_t limit);
  int64_t TotalBytes() const;  // in use and free
  int64_t InUseBytes() const;
  int64_t FreeBytes() const;

  // The process-wide pool of piece data buffers.
  static BufferPool& Data();

 private:
  friend class PoolBuffer;
  void GiveBack(std::unique_ptr<uint8_t[]> data, int capacity);

  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::unique_ptr<uint8_t[]>>> free_;  // (capacity, buffer)
  int64_t freeBytes_ = 0;
  int64_t inUseBytes_ = 0;
};

}  // namespace pf
