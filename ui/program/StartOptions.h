#pragma once
// What the command line decides before the front end takes over, applied
// to the controller the same way by the window and the terminal.
#include <string>

#include "ui/program/ProgramOptions.h"

namespace pf {
class DownloadController;
}

namespace pf::ui {

// The save folder (only before the download started), the rate limit and
// the shutdown after completion. A note for the user when an option could
// not be applied; empty otherwise.
std::string ApplyStartOptions(DownloadController& controller, const ProgramOptions& options);

}  // namespace pf::ui
