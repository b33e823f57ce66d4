#pragma once
#include <cstdint>

namespace pf {

// One outstanding block request.
struct BlockRequest {
  int64_t block;      // byte offset in the content / kBlockSize
  int length;         // at most kBlockSize, never past a piece end
  uint32_t requestedAt;
};

}  // namespace pf
