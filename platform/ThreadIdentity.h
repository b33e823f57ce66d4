#pragma once
#include <cstdint>

namespace pf::platform {

// The calling thread's system id; never 0, unique among live threads.
uint32_t CurrentThreadId();

}  // namespace pf::platform
