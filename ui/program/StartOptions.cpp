#include "ui/program/StartOptions.h"

#include "app/DownloadController.h"

namespace pf::ui {

std::string ApplyStartOptions(DownloadController& controller, const ProgramOptions& options) {
  std::string note;
  if (!options.saveFolder.empty()) {
    const DownloadState s = controller.State();
    if (s == DownloadState::kReady || s == DownloadState::kBack)
      controller.SetSavePath(options.saveFolder + "/" + DownloadController::kFolderName);
    else
      note = "--save is ignored: the download has already started in " + controller.SavePath();
  }
  if (options.rateLimit) controller.ApplyRateLimit(*options.rateLimit);
  controller.SetShutdownAfterCompletion(options.shutdownWhenDone);
  return note;
}

}  // namespace pf::ui
