#pragma once

namespace pf {

// The unit of transfer inside a piece: requests ask for at most this many
// bytes, blocks never cross a piece's end, and a block's number is its byte
// offset in the content divided by it.
inline constexpr int kBlockSize = 16384;

}  // namespace pf
