#pragma once
// The process-wide 16-byte identity of this engine node; its first 8 bytes
// are the node id on the UDP side.
#include <array>
#include <cstdint>

namespace pf {

// Fills the identity with a new UUID unless it is set (first byte non-zero).
void EnsureNodeIdentity();
std::array<uint8_t, 16> NodeIdentity();

}  // namespace pf
