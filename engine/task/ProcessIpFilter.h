#pragma once
// The process-wide IP filter and the path of its file (empty unless
// configured), under the registry lock. Each work takes its own copy when
// it builds its piece map.
#include <string>

#include "engine/net/CIPFilter.h"

namespace pf {

void SetIpFilterPath(const std::string& path);
// A copy of the process-wide filter, loaded from its file first when it is
// empty and a path is set.
CIPFilter CopyProcessIpFilter();

}  // namespace pf
