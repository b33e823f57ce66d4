#pragma once

namespace pf::platform {

// Whether standard error is a terminal (progress bars are drawn only there).
bool StderrIsTerminal();

}  // namespace pf::platform
