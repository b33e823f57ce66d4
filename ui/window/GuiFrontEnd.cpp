#include "ui/window/GuiFrontEnd.h"

#include <wx/app.h>
#include <wx/image.h>
#include <wx/init.h>

#include <cstdlib>

#include "ui/window/MainWindow.h"

namespace pf::ui {
namespace {

class GuiApp : public wxApp {
 public:
  GuiApp(DownloadController& controller, const ProgramOptions& options, platform::SingleInstance* instance)
      : controller_(controller), options_(options), instance_(instance) {}

  bool OnInit() override {
    wxInitAllImageHandlers();
    // The window is a top-level window: wx deletes it once it is destroyed.
    auto* window = new MainWindow(controller_, options_, instance_);
    window->whenFinished = [this](ExitStatus status) { status_ = status; };
    if (!window->SetUp()) {
      status_ = window->Status();
      window->Destroy();
      return false;
    }
    window->ShowFirst();
    return true;
  }

  ExitStatus Status() const { return status_; }

 private:
  DownloadController& controller_;
  const ProgramOptions& options_;
  platform::SingleInstance* const instance_;
  ExitStatus status_ = ExitStatus::kUserQuit;
};

}  // namespace

bool GuiFrontEnd::DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}

std::optional<ExitStatus> GuiFrontEnd::Run(DownloadController& controller, const ProgramOptions& options,
                                           platform::SingleInstance* instance, const char* programName) {
  int argc = 1;
  char* argv[] = {const_cast<char*>(programName), nullptr};
  // wx owns the application object from here and deletes it at the end.
  wxApp::SetInstance(new GuiApp(controller, options, instance));
  if (!wxEntryStart(argc, argv)) {
    wxEntryCleanup();
    return std::nullopt;
  }
  auto& app = static_cast<GuiApp&>(*wxTheApp);
  if (app.CallOnInit()) app.OnRun();
  const ExitStatus status = app.Status();
  app.OnExit();
  wxEntryCleanup();
  return status;
}

}  // namespace pf::ui
