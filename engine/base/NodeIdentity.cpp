#include "engine/base/NodeIdentity.h"

#include <mutex>

#include "platform/Uuid.h"

namespace pf {
namespace {

std::mutex identityMutex;
std::array<uint8_t, 16> identity{};

}  // namespace

void EnsureNodeIdentity() {
  std::lock_guard<std::mutex> lock(identityMutex);
  if (identity[0] != 0) return;
  identity = platform::NewUuid();
  if (identity[0] == 0) identity[0] = 1;
}

std::array<uint8_t, 16> NodeIdentity() {
  std::lock_guard<std::mutex> lock(identityMutex);
  return identity;
}

}  // namespace pf
