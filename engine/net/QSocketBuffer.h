#pragma once
// A growable byte queue for one direction of a connection, backed by the
// process-wide pool of socket buffers. One spare byte past the held bytes is
// always kept, so received text can be read as a C string.
#include <cstdint>

#include "engine/content/BufferPool.h"

namespace pf {

class QSocketBuffer {
 public:
  // `slack` is how much more than needed a growing buffer takes.
  explicit QSocketBuffer(int slack) : slack_(slack) {}

  uint8_t* data() const { return buffer_.data(); }
  int used() const { return used_; }
  int capacity() const { return buffer_ ? buffer_.size() : 0; }
  int room() const { return capacity() > used_ ? capacity() - used_ - 1 : 0; }

  // Makes room for `extra` more bytes; false when memory runs out.
  bool Reserve(int extra);
  bool Append(const void* bytes, int length);
  // Marks `length` bytes written at data() + used() as held.
  void Commit(int length);
  // Drops bytes from the front, moves the rest forward and shrinks a buffer
  // that has become much larger than what it holds.
  void Consume(int count);
  // Gives the memory back to the pool.
  void Reset();

  // The pool all socket buffers come from.
  static BufferPool& Pool();

 private:
  bool Reallocate(int newCapacity);

  PoolBuffer buffer_;
  int used_ = 0;
  int slack_;
};

}  // namespace pf
