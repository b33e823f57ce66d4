#include "engine/net/QSocketBuffer.h"

#include <cstring>
#include <memory>

namespace pf {
namespace {

// Free socket buffers kept for reuse beyond this are given back to the system.
constexpr int64_t kPoolKeep = 8 << 20;

}  // namespace

BufferPool& QSocketBuffer::Pool() {
  static BufferPool* const pool = std::make_unique<BufferPool>().release();
  return *pool;
}

bool QSocketBuffer::Reallocate(int newCapacity) {
  PoolBuffer fresh = Pool().Take(newCapacity);
  if (!fresh) return false;
  if (used_ > 0) std::memcpy(fresh.data(), buffer_.data(), static_cast<size_t>(used_));
  fresh.data()[used_] = 0;
  buffer_ = std::move(fresh);
  if (Pool().FreeBytes() > kPoolKeep) Pool().Trim(kPoolKeep / 2);
  return true;
}

bool QSocketBuffer::Reserve(int extra) {
  if (extra < 0) return false;
  if (static_cast<int64_t>(used_) + extra + 1 <= capacity()) return true;
  const int64_t grown = static_cast<int64_t>(capacity()) + extra + slack_;
  if (grown > (1 << 30)) return false;
  return Reallocate(static_cast<int>(grown));
}

bool QSocketBuffer::Append(const void* bytes, int length) {
  if (length <= 0) return true;
  if (!Reserve(length)) return false;
  std::memcpy(buffer_.data() + used_, bytes, static_cast<size_t>(length));
  Commit(length);
  return true;
}

void QSocketBuffer::Commit(int length) {
  used_ += length;
  buffer_.data()[used_] = 0;
}

void QSocketBuffer::Consume(int count) {
  if (count <= 0 || !buffer_) return;
  if (count >= used_) {
    Reset();
    return;
  }
  used_ -= count;
  std::memmove(buffer_.data(), buffer_.data() + count, static_cast<size_t>(used_));
  buffer_.data()[used_] = 0;
  const int cap = capacity();
  if (cap >= 4097 && cap >= 6 * static_cast<int64_t>(used_)) {
    Reallocate(used_ < 1024 ? 1024 : used_ + 1024);
  } else if (cap - used_ >= 2101249 && used_ <= 21012479) {
    Reallocate(used_ + used_ / 10);
  }
}

void QSocketBuffer::Reset() {
  buffer_.Release();
  used_ = 0;
}

}  // namespace pf
