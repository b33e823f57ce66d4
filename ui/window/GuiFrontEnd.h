#pragma once
// The program with its window: a wx application around the main window.
#include <optional>

#include "ui/program/ProgramOptions.h"

namespace pf {
class DownloadController;
namespace platform {
class SingleInstance;
}
}  // namespace pf

namespace pf::ui {

class GuiFrontEnd {
 public:
  // Whether the session has a display to open a window on.
  static bool DisplayAvailable();
  // Runs the window until the program ends; nothing when no window could be
  // opened (the terminal then takes over).
  static std::optional<ExitStatus> Run(DownloadController& controller, const ProgramOptions& options,
                                       platform::SingleInstance* instance, const char* programName);
};

}  // namespace pf::ui
