#pragma once
// The command line of the program: what a user or a script may decide
// before the front end starts. One table drives both parsing and usage.
#include <optional>
#include <string>
#include <vector>

namespace pf::ui {

// How the program ended, for scripts that start it (the usage text says
// what each means).
enum class ExitStatus : int { kDone = 0, kFailed = 1, kUsage = 2, kUserQuit = 3, kExpired = 4, kAlreadyRunning = 5 };

struct ProgramOptions {
  bool headless = false;        // the terminal front end even where a display is
  bool start = false;           // press the main action at once
  bool install = false;         // press Install once the download has finished
  bool exitOnFinish = false;    // end as soon as every file is downloaded
  std::optional<bool> verify;   // the answer to the verify question
  std::optional<int> rateLimit; // KB/s, 0 for none
  std::string saveFolder;       // the folder chosen for the package ("QLN156" is added)
  bool shutdownWhenDone = false;  // power the computer off once the download has finished
  bool upnp = true;             // ask the network's gateway to forward the listen port
  bool help = false;
};

// Parses argv[1..]; on a wrong command line gives nothing and writes why to
// *error.
std::optional<ProgramOptions> ParseProgramOptions(const std::vector<std::string>& args, std::string* error);
std::string ProgramUsage();

}  // namespace pf::ui
