#include "platform/Terminal.h"

#include <unistd.h>

namespace pf::platform {

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace pf::platform
