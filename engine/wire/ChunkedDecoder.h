#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/net/QSocketBuffer.h"

namespace pf {

// Reads a body sent with "Transfer-Encoding: chunked": each chunk's size in
// hex (extensions after ';' ignored), its data and CRLF, then the last chunk
// of size 0 and the trailer lines up to a blank line. Input may arrive in any
// pieces; a size or trailer line cut in two waits for its rest.
class ChunkedDecoder {
 public:
  enum class State { kReading, kDone, kBroken };
  // Longer size or trailer lines are not HTTP.
  static constexpr size_t kMaxLine = 4096;

  // Decodes from the front of `input`, appending the data to `out`; returns
  // how many input bytes were used (the rest, an unfinished line, is offered
  // again with more). Uses nothing once done or broken.
  size_t Decode(std::span<const uint8_t> input, QSocketBuffer& out);
  State state() const { return state_; }
  void Reset() { *this = ChunkedDecoder(); }

 private:
  enum class Step { kSize, kData, kDataEnd, kTrailer };
  // Reads one line from the front of `input` into `line`; the bytes used
  // with the line end, or 0 while the line has not ended.
  size_t TakeLine(std::span<const uint8_t> input, std::span<const uint8_t>* line);
  bool ReadSize(std::span<const uint8_t> line);

  State state_ = State::kReading;
  Step step_ = Step::kSize;
  int64_t left_ = 0;  // data bytes of the current chunk still to come
};

}  // namespace pf
