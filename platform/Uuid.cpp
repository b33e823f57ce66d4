#include "platform/Uuid.h"

#include <random>

namespace pf::platform {

std::array<uint8_t, 16> NewUuid() {
  std::random_device random;
  std::array<uint8_t, 16> id{};
  for (size_t i = 0; i < id.size(); i += 4) {
    uint32_t word = random();
    for (size_t k = 0; k < 4; ++k) id[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  id[6] = static_cast<uint8_t>((id[6] & 0x0F) | 0x40);
  id[8] = static_cast<uint8_t>((id[8] & 0x3F) | 0x80);
  return id;
}

}  // namespace pf::platform
