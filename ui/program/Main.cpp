// pelicanfetch: downloads the game's installation package and starts its
// installer, in its window where a display is, else in the terminal. One
// copy runs per package; a later start brings it forward.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/DownloadController.h"
#include "app/ListenPortChoice.h"
#include "app/PackageTable.h"
#include "platform/FileSystem.h"
#include "platform/Interrupt.h"
#include "platform/SingleInstance.h"
#include "platform/SystemFolders.h"
#include "platform/SystemShutdown.h"
#include "ui/program/ProgramOptions.h"
#include "ui/terminal/TerminalFrontEnd.h"
#include "ui/window/GuiFrontEnd.h"

namespace {

using pf::ui::ExitStatus;

int Status(ExitStatus status) { return static_cast<int>(status); }

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<pf::ui::ProgramOptions> options =
      pf::ui::ParseProgramOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "pelicanfetch: %s\n\n%s", error.c_str(), pf::ui::ProgramUsage().c_str());
    return Status(ExitStatus::kUsage);
  }
  if (options->help) {
    std::fputs(pf::ui::ProgramUsage().c_str(), stdout);
    return Status(ExitStatus::kDone);
  }
  try {
    const pf::PackageTable& package = pf::PackageTable::BuiltIn();
    const std::string dataFolder = pf::DownloadController::DataFolderPath(package);
    std::string lockFolder = pf::platform::RuntimeFolder();
    if (lockFolder.empty()) lockFolder = dataFolder;
    pf::platform::CreateDirectories(lockFolder.c_str());
    pf::platform::SingleInstance instance(lockFolder, package.packageId);
    if (instance.Claim() == pf::platform::SingleInstance::Role::kHandedOver) {
      std::fprintf(stderr, "pelicanfetch: already running; brought it forward\n");
      return Status(ExitStatus::kAlreadyRunning);
    }
    pf::platform::InstallInterruptHandlers();
    pf::DownloadController controller(package, dataFolder);
    controller.SetSystemShutdown(pf::platform::MakeSystemShutdown());
    if (!options->upnp) controller.chooseListenPort = pf::ChooseFreeListenPort;
    // The window where a display is, unless the terminal was asked for.
    if (!options->headless && pf::ui::GuiFrontEnd::DisplayAvailable()) {
      if (const std::optional<ExitStatus> status = pf::ui::GuiFrontEnd::Run(controller, *options, &instance, argv[0]))
        return Status(*status);
      std::fprintf(stderr, "pelicanfetch: no window could be opened; running in the terminal\n");
    }
    pf::ui::TerminalFrontEnd frontEnd(controller, *options, &instance);
    return Status(frontEnd.Run());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelicanfetch: %s\n", e.what());
    return Status(ExitStatus::kFailed);
  }
}
