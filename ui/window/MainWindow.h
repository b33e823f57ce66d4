#pragma once
// The program's window: a borderless 411 x 307 panel painted from bitmaps,
// its own title-bar buttons, one action button that follows the download's
// state, the folder line, the status texts, the progress bar and a file list
// that folds out below. It drives the controller with the application's
// timers, whose ticks arrive here as posted calls: nothing else draws.
#include <wx/dialog.h>
#include <wx/font.h>
#include <wx/frame.h>
#include <wx/timer.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <utility>

#include "app/DownloadView.h"
#include "ui/program/ProgramOptions.h"
#include "ui/window/ArtBitmaps.h"
#include "ui/window/SettingsDialog.h"
#include "ui/window/SkinButton.h"
#include "ui/window/SkinList.h"

namespace pf {
class ControllerTimers;
class DownloadController;
namespace platform {
class SingleInstance;
}
}  // namespace pf

namespace pf::ui {

class ClosePrompt;
class TrayIcon;

class MainWindow : public wxFrame {
 public:
  MainWindow(DownloadController& controller, const ProgramOptions& options, platform::SingleInstance* instance);
  ~MainWindow() override;

  // The window's set-up: the controller's initialisation, the expiry check,
  // the buttons of the start and the timers. False when the program must
  // quit at once (Status tells why).
  bool SetUp();
  // Shows the window the first time, at its size and in its shape.
  void ShowFirst();
  ExitStatus Status() const { return status_; }
  // Told how the program ends, just before the window goes.
  std::function<void(ExitStatus)> whenFinished;

 private:
  // Drawing (the window's thread only).
  void OnPaint(wxPaintEvent& event);
  void DrawText(wxDC& dc, const wxRect& area, const std::string& text, const wxColour& colour, int align,
                bool clip = true);
  void DrawBars(wxDC& dc);
  void ApplyShape();
  // Every button, in drawing order.
  std::array<SkinButton*, 9> AllButtons();

  // The mouse and the keyboard.
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnLeave(wxMouseEvent& event);
  void OnCharHook(wxKeyEvent& event);

  // The timers' ticks, posted to this thread.
  void OnStateTick(std::chrono::steady_clock::time_point posted);
  void OnSecondTick();
  void UpdateButtons();

  // Actions.
  void PressStart();
  void PressMainAction();
  void FolderAction();
  void ShowSettings();
  void CloseButton();
  void CancelCommand();
  void HideToTray();
  void RestoreFromTray();
  void ToggleList();
  bool AskYesNo(const std::string& text, const std::string& caption);
  // Ends the program: the timers stop, the exit steps run, the window goes.
  void Finish(ExitStatus status, bool userExit);
  // Shows `dialog` modally through `show`; an end asked for meanwhile closes
  // it and takes place once it is closed (callers check finished_ after).
  template <typename Show>
  auto RunModal(wxDialog& dialog, Show show) {
    wxDialog* outer = openDialog_;
    openDialog_ = &dialog;
    auto result = show();
    openDialog_ = outer;
    if (!openDialog_ && pendingFinish_) {
      const auto [status, userExit] = *pendingFinish_;
      pendingFinish_.reset();
      Finish(status, userExit);
    }
    return result;
  }

  DownloadController& controller_;
  const ProgramOptions options_;
  platform::SingleInstance* const instance_;

  // Everything below: the window's thread alone.
  ArtBitmaps art_;
  wxFont font_;
  SkinButton startButton_, pauseButton_, resumeButton_, installButton_, changeButton_, viewButton_, settingsButton_,
      minimiseButton_, closeButton_;
  SkinList list_;
  DownloadView view_;
  DownloadViewTexts texts_;
  ActionOffer offer_;
  DownloadState state_ = DownloadState::kReady;
  bool diskShort_ = true;  // the pair (state, flag) last seen; starts as ready with the flag set
  bool listHidden_ = true;
  uint32_t barValue_ = 0;
  std::unique_ptr<ControllerTimers> timers_;
  std::unique_ptr<TrayIcon> tray_;
  SettingsDialog* settingsDialog_ = nullptr;  // children of the window
  ClosePrompt* closePrompt_ = nullptr;
  DownloadSettings settings_;
  // Set together when the user chose to exit, cleared together when the
  // window comes back from the tray: the first decides the cancel command,
  // the second how the exit is logged.
  bool exitChosen_ = false;
  bool exitLogged_ = false;
  bool installPressed_ = false;
  bool finished_ = false;
  wxDialog* openDialog_ = nullptr;  // the modal dialog whose loop runs now
  std::optional<std::pair<ExitStatus, bool>> pendingFinish_;
  ExitStatus status_ = ExitStatus::kUserQuit;
  bool dragging_ = false;
  wxPoint dragOffset_;
  wxTimer handOverTimer_;
  // When the state tick that saw the latest unshown change was posted, and
  // the longest such wait until the redraw.
  std::optional<std::chrono::steady_clock::time_point> changeSeenAt_;
  std::chrono::milliseconds longestRedrawWait_{0};
};

}  // namespace pf::ui
