#pragma once
#include <cstdint>

namespace pf::platform {

// The calling thread's system id; never 0, unique among live threads.
uint32_t CurrentThreadId();

// Names the calling thread for debuggers (at most 15 characters are kept)
// and lowers its scheduling priority one step below normal.
void MarkBackgroundThread(const char* name);

}  // namespace pf::platform
