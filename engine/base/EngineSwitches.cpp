#include "engine/base/EngineSwitches.h"

namespace pf {

EngineSwitches& Switches() {
  static EngineSwitches switches;
  return switches;
}

}  // namespace pf
