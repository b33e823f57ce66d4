#include "engine/core/TWorkWithTransStatis.h"

namespace pf {

void TWorkWithTransStatis::ResetAccounting() {
  tickDelayMs = 0;
  lastSecondTick = 0;
  publishPending = false;
}

}  // namespace pf
