#include "app/ProgramVersion.h"

namespace pf {

const char* ProgramVersionText() {
#ifdef PF_FILE_VERSION
  return PF_FILE_VERSION;
#else
  return "1.0.3";
#endif
}

}  // namespace pf
