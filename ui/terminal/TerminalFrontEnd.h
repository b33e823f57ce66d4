#pragma once
// The program in a terminal: the window's texts as a status block that is
// redrawn in place, the window's buttons as keys (or as options, for
// scripts), the controller driven by the same timers as the window.
//
// Threads: Run's thread owns the terminal and runs every action; the timer
// thread and the message presenter only post events to it.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/DownloadView.h"
#include "ui/program/ProgramOptions.h"

namespace pf {
class DownloadController;
namespace platform {
class SingleInstance;
}
}  // namespace pf

namespace pf::ui {

class TerminalFrontEnd {
 public:
  // `instance` (may be null) answers later starts of the program.
  TerminalFrontEnd(DownloadController& controller, const ProgramOptions& options,
                   platform::SingleInstance* instance);
  ~TerminalFrontEnd();
  TerminalFrontEnd(const TerminalFrontEnd&) = delete;
  TerminalFrontEnd& operator=(const TerminalFrontEnd&) = delete;

  // Initialises the controller, runs until the installer starts, the user
  // quits or the run ends as the options ask, then runs the exit steps.
  ExitStatus Run();

 private:
  enum class EventKind { kStateTick, kSecondTick, kMessage, kMainAction, kInstallerStarted, kWork };
  struct Event {
    EventKind kind;
    std::string text;
    std::function<void()> work;  // of kWork
  };

  void Post(EventKind kind, std::string text = std::string(), std::function<void()> work = {});
  std::optional<ExitStatus> Handle(const Event& event);
  std::optional<ExitStatus> OnKey(char key);
  std::optional<ExitStatus> AfterState(DownloadState state);
  bool AskYesNo(const std::string& text);
  void PressMainAction();
  // Output: the status block is redrawn in place on a terminal; elsewhere
  // lines are written when something changed.
  void Redraw();  // reads the texts anew (measuring the speed) and draws
  void Draw();    // draws the texts last read
  void PrintAboveBlock(const std::string& text);
  void EraseBlock();
  void DrainMessages();

  DownloadController& controller_;
  const ProgramOptions options_;
  platform::SingleInstance* const instance_;
  const bool terminal_;

  std::mutex eventsMutex_;
  std::condition_variable eventsReady_;
  std::deque<Event> events_;  // guarded by eventsMutex_

  // Run's thread alone.
  DownloadView view_;
  ActionOffer offer_;
  DownloadViewTexts lastTexts_;
  DownloadState lastState_ = DownloadState::kExited;
  bool haveTexts_ = false;
  bool filesShown_ = true;
  int blockLines_ = 0;
  bool installPressed_ = false;
  bool inputEnded_ = false;
  DownloadState printedState_ = DownloadState::kExited;  // away from a terminal
  ActionOffer printedOffer_;
  int secondsSincePrint_ = 0;
};

}  // namespace pf::ui
