#pragma once
#include <array>
#include <cstdint>

namespace pf::platform {

// A new random (version 4) UUID as 16 bytes.
std::array<uint8_t, 16> NewUuid();

}  // namespace pf::platform
