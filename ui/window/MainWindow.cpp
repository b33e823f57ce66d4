#include "ui/window/MainWindow.h"

#include <wx/bmpbndl.h>
#include <wx/dcbuffer.h>
#include <wx/dirdlg.h>
#include <wx/msgdlg.h>
#include <wx/region.h>

#include <algorithm>

#include "app/CheckThread.h"
#include "app/ControllerTimers.h"
#include "app/DownloadController.h"
#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineTypes.h"
#include "platform/FileSystem.h"
#include "platform/Interrupt.h"
#include "platform/ProgramLauncher.h"
#include "platform/SingleInstance.h"
#include "telemetry/ReportingCalls.h"
#include "ui/program/StartOptions.h"
#include "ui/window/ClosePrompt.h"
#include "ui/window/MessageWindow.h"
#include "ui/window/TrayIcon.h"
#include "ui/window/WindowLayout.h"

namespace pf::ui {
namespace {

constexpr int kHandOverPollMs = 200;
constexpr const char* kFolderPrompt = "请选择安装包存放目录:";

wxString Text(const std::string& utf8) { return wxString::FromUTF8(utf8.c_str()); }

// The 18-pixel CJK face the texts are drawn in: the first one installed.
wxFont TextFont() {
  // 18 pixels is the text's whole cell; the characters themselves take
  // about five sixths of it.
  const wxSize em(0, layout::kFontPixels * 5 / 6);
  for (const char* face : {"Microsoft YaHei", "Noto Sans CJK SC", "WenQuanYi Zen Hei", "Droid Sans Fallback"}) {
    wxFont font(wxFontInfo(em).FaceName(face));
    if (font.IsOk() && font.GetFaceName().CmpNoCase(face) == 0) return font;
  }
  return wxFont(wxFontInfo(em));
}

}  // namespace

MainWindow::MainWindow(DownloadController& controller, const ProgramOptions& options,
                       platform::SingleInstance* instance)
    : wxFrame(nullptr, wxID_ANY, Text(DownloadView::kTitle), wxPoint(0, 0),
              wxSize(layout::kWidth, layout::kHeight),
              wxFRAME_SHAPED | wxBORDER_NONE | wxMINIMIZE_BOX | wxSYSTEM_MENU | wxCLIP_CHILDREN),
      controller_(controller),
      options_(options),
      instance_(instance),
      font_(TextFont()),
      startButton_(art_, layout::kStartArt, layout::kActionButtonAt, [this] { PressStart(); }, true),
      pauseButton_(art_, layout::kPauseArt, layout::kActionButtonAt, [this] { PressMainAction(); }, true),
      resumeButton_(art_, layout::kResumeArt, layout::kActionButtonAt, [this] { PressMainAction(); }, true),
      installButton_(art_, layout::kInstallArt, layout::kActionButtonAt, [this] { PressMainAction(); }, true),
      changeButton_(art_, layout::kFolderArt, layout::kFolderButtonAt, [this] { FolderAction(); }),
      viewButton_(art_, layout::kFolderArt, layout::kFolderButtonAt, [this] { FolderAction(); }),
      settingsButton_(art_, layout::kSettingsArt, layout::kSettingsButtonAt, [this] { ShowSettings(); }),
      minimiseButton_(art_, layout::kMinimiseArt, layout::kMinimiseButtonAt, [this] { Iconize(true); }),
      closeButton_(art_, layout::kCloseArt, layout::kCloseButtonAt, [this] { CloseButton(); }),
      list_(art_, layout::kListArea),
      handOverTimer_(this) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);  // every pixel is ours: no erasing, no flicker
  SetClientSize(layout::kWidth, layout::kHeight);
  for (SkinButton* b : {&startButton_, &pauseButton_, &resumeButton_, &installButton_, &viewButton_}) b->Show(false);
  settingsDialog_ = new SettingsDialog(this);  // children: the window deletes them
  closePrompt_ = new ClosePrompt(this);

  Bind(wxEVT_PAINT, &MainWindow::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &MainWindow::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &MainWindow::OnLeftUp, this);
  Bind(wxEVT_MOTION, &MainWindow::OnMotion, this);
  Bind(wxEVT_LEAVE_WINDOW, &MainWindow::OnLeave, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { dragging_ = false; });
  Bind(wxEVT_CHAR_HOOK, &MainWindow::OnCharHook, this);
  // The system's close (Alt+F4, the window manager) is the cancel command.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& event) {
    if (event.CanVeto()) {
      event.Veto();
      CancelCommand();
    } else {
      Finish(ExitStatus::kUserQuit, exitLogged_);
    }
  });
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
    // Ctrl-C in the terminal that started it, or a termination request.
    if (platform::InterruptRequested()) {
      exitChosen_ = exitLogged_ = true;
      Finish(ExitStatus::kUserQuit, true);
      return;
    }
    std::string folder;
    if (instance_ && instance_->TakeHandOver(&folder)) {
      // A later start of the program: bring this window forward.
      if (tray_) RestoreFromTray();
      Iconize(false);
      Show();
      Raise();
    }
  });
}

MainWindow::~MainWindow() {
  if (timers_) timers_->Stop();
  SetMessageBoxPresenter({});
}

bool MainWindow::SetUp() {
  const wxBitmap& icon = art_.Get(layout::kProgramIcon);
  if (icon.IsOk()) {
    wxIcon programIcon;
    programIcon.CopyFromBitmap(icon);
    SetIcon(programIcon);
  }
  SetMessageBoxPresenter([this](void*, const std::string& text, const std::string& caption, uint32_t) {
    CallAfter([this, text, caption] { MessageWindow::Show(this, text, caption); });
  });
  controller_.askYesNo = [this](const std::string& text, const std::string& caption) {
    return AskYesNo(text, caption);
  };
  controller_.postMainAction = [this] { CallAfter([this] { PressMainAction(); }); };
  controller_.endProgram = [this] { CallAfter([this] { Finish(ExitStatus::kDone, false); }); };
  controller_.postToWindow = [this](std::function<void()> work) { CallAfter(std::move(work)); };

  const int started = controller_.Initialise();
  if (started < 0) {
    exitChosen_ = exitLogged_ = true;
    status_ = ExitStatus::kFailed;
    controller_.ExitSteps(true);
    return false;
  }
  if (started == 0 && controller_.CheckExpiry()) {
    exitChosen_ = exitLogged_ = true;
    status_ = ExitStatus::kExpired;
    controller_.ExitSteps(true);
    return false;
  }
  if (const std::string note = ApplyStartOptions(controller_, options_); !note.empty())
    MessageWindow::Show(this, note, DownloadView::kTitle);
  // The settings dialog opens with what the options set.
  settings_.rateLimit = options_.rateLimit.value_or(0);
  settings_.shutdownWhenDone = options_.shutdownWhenDone;

  (started == 1 ? pauseButton_ : startButton_).Show(true);
  std::vector<SkinList::Row> rows;
  for (const PackageFile& f : controller_.Package().files) rows.push_back({f.fileName, ""});
  list_.SetRows(rows);

  timers_ = std::make_unique<ControllerTimers>(controller_, [this](TimerTick tick, DownloadState) {
    // Never drawn from here: the window's thread takes it up.
    const auto posted = std::chrono::steady_clock::now();
    CallAfter([this, tick, posted] { tick == TimerTick::kState ? OnStateTick(posted) : OnSecondTick(); });
  });
  timers_->Start();
  handOverTimer_.Start(kHandOverPollMs);
  OnSecondTick();
  if (options_.start) CallAfter([this] { PressStart(); });
  return true;
}

void MainWindow::ShowFirst() {
  Show();
  // GTK sizes a shaped frame without decorations only once it is shown.
  SetClientSize(layout::kWidth, layout::kHeight);
  ApplyShape();
}

std::array<SkinButton*, 9> MainWindow::AllButtons() {
  return {&startButton_,  &pauseButton_,    &resumeButton_,   &installButton_, &changeButton_,
          &viewButton_,   &settingsButton_, &minimiseButton_, &closeButton_};
}

// --- drawing ---

void MainWindow::OnPaint(wxPaintEvent&) {
  if (changeSeenAt_) {
    const auto waited = std::chrono::steady_clock::now() - *changeSeenAt_;
    longestRedrawWait_ = std::max(longestRedrawWait_, std::chrono::duration_cast<std::chrono::milliseconds>(waited));
    changeSeenAt_.reset();
  }
  wxAutoBufferedPaintDC dc(this);
  const wxBitmap& background = art_.Get(listHidden_ ? layout::kBackground : layout::kBackgroundWithList);
  if (background.IsOk()) {
    dc.DrawBitmap(background, 0, 0);
  } else {
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
  }
  dc.SetFont(font_);
  dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
  const DownloadState s = texts_.state;
  if (s == DownloadState::kFinished || s == DownloadState::kCheckFinished || s == DownloadState::kInstalling) {
    DrawText(dc, layout::kBannerArea, texts_.banner, layout::PercentColour(), wxALIGN_CENTER);
  } else {
    // The label is wider than its area in any CJK face: it ends at the
    // area's right edge and reaches left into the status text's room, which
    // then ends before it.
    DrawText(dc, layout::kProgressLabelArea, texts_.progressLabel, layout::LabelColour(), wxALIGN_RIGHT, false);
    wxRect status = layout::kStatusArea;
    const int labelLeft = layout::kProgressLabelArea.GetRight() + 1 - dc.GetTextExtent(Text(texts_.progressLabel)).x;
    status.width = std::min(status.width, labelLeft - 4 - status.x);
    DrawText(dc, status, texts_.status, layout::LabelColour(), wxALIGN_LEFT);
    DrawText(dc, layout::kPercentArea, texts_.percent, layout::PercentColour(), wxALIGN_CENTER);
  }
  DrawText(dc, layout::kVersionArea, DownloadController::kGameVersionText, layout::VersionColour(), wxALIGN_LEFT);
  DrawText(dc, layout::kSizeArea, texts_.size, layout::LabelColour(), wxALIGN_LEFT);
  DrawText(dc, layout::kFolderArea, controller_.SavePath(), *wxWHITE, wxALIGN_LEFT);
  DrawBars(dc);
  DrawText(dc, layout::kFolderLabelArea, DownloadView::kFolderLabel, layout::LabelColour(), wxALIGN_LEFT);
  for (SkinButton* b : AllButtons())
    b->Draw(dc);
  if (!listHidden_) list_.Draw(dc, font_);
}

void MainWindow::DrawText(wxDC& dc, const wxRect& area, const std::string& text, const wxColour& colour,
                          int align, bool clip) {
  if (text.empty()) return;
  dc.SetTextForeground(colour);
  if (clip) dc.SetClippingRegion(area);
  dc.DrawLabel(Text(text), area, align | wxALIGN_CENTER_VERTICAL);
  if (clip) dc.DestroyClippingRegion();
}

void MainWindow::DrawBars(wxDC& dc) {
  const wxRect& bar = layout::kProgressBarArea;
  const auto drawPart = [&](int id, uint32_t hundredths) {
    const wxBitmap& bitmap = art_.Get(id);
    const int width = static_cast<int>(bar.width * std::min<uint32_t>(hundredths, kProgressWhole) / kProgressWhole);
    if (!bitmap.IsOk() || width <= 0) return;
    dc.DrawBitmap(bitmap.GetSubBitmap(wxRect(0, 0, std::min(width, bitmap.GetWidth()), bitmap.GetHeight())),
                  bar.GetTopLeft());
  };
  const wxBitmap& trough = art_.Get(layout::kBarTrough);
  if (trough.IsOk())
    for (int x = bar.x; x < bar.x + bar.width; x += trough.GetWidth()) dc.DrawBitmap(trough, x, bar.y);
  drawPart(layout::kDownloadBar, texts_.verificationBarShown ? kProgressWhole : barValue_);
  if (texts_.verificationBarShown) drawPart(layout::kVerificationBar, texts_.verificationBar);
}

void MainWindow::ApplyShape() {
  if (!listHidden_) {
    SetShape(wxRegion(0, 0, layout::kWidth, layout::kHeight + layout::kListExtra));  // the full rectangle
    return;
  }
  const wxBitmap& background = art_.Get(layout::kBackground);
  if (background.IsOk()) SetShape(wxRegion(background, layout::ColourKey()));
}

// --- mouse and keys ---

void MainWindow::OnLeftDown(wxMouseEvent& event) {
  const wxPoint at = event.GetPosition();
  bool redraw = false;
  bool onButton = false;
  for (SkinButton* b : AllButtons()) {
    const bool hit = b->MouseDown(at);
    redraw |= hit;
    onButton |= b->IsShown() && b->Rect().Contains(at);
  }
  if (!onButton && at.y < layout::kCaptionHeight) {
    // The top strip drags the window.
    dragging_ = true;
    dragOffset_ = at;
    CaptureMouse();
  }
  if (!listHidden_ && list_.Click(at)) redraw = true;
  if (redraw) Refresh(false);
}

void MainWindow::OnLeftUp(wxMouseEvent& event) {
  const wxPoint at = event.GetPosition();
  if (dragging_) {
    dragging_ = false;
    if (HasCapture()) ReleaseMouse();
    return;
  }
  bool redraw = false;
  for (SkinButton* b : AllButtons())
    redraw |= b->MouseUp(at);
  if (IsBeingDeleted()) return;  // a button ended the program
  if (layout::kListToggleArea.Contains(at)) {
    ToggleList();
    return;
  }
  if (redraw) Refresh(false);
}

void MainWindow::OnMotion(wxMouseEvent& event) {
  if (dragging_) {
    Move(ClientToScreen(event.GetPosition()) - dragOffset_);
    return;
  }
  bool redraw = false;
  for (SkinButton* b : AllButtons())
    redraw |= b->MouseMove(event.GetPosition());
  if (redraw) Refresh(false);
}

void MainWindow::OnLeave(wxMouseEvent&) {
  bool redraw = false;
  for (SkinButton* b : AllButtons())
    redraw |= b->MouseLeave();
  if (redraw) Refresh(false);
}

void MainWindow::OnCharHook(wxKeyEvent& event) {
  // Escape and Enter do nothing here (they would close a dialog).
  const int key = event.GetKeyCode();
  if (key == WXK_ESCAPE || key == WXK_RETURN || key == WXK_NUMPAD_ENTER) return;
  event.Skip();
}

// --- ticks ---

void MainWindow::OnStateTick(std::chrono::steady_clock::time_point posted) {
  if (finished_) return;
  const DownloadState s = controller_.State();
  const bool diskShort = controller_.DiskShort();
  const uint32_t bar = controller_.LastProgress();
  if (bar != barValue_ || DownloadView::ShowsVerificationBar(s) != DownloadView::ShowsVerificationBar(state_)) {
    barValue_ = bar;
    RefreshRect(layout::kProgressBarArea, false);
  }
  if (s != state_ || diskShort != diskShort_) {
    state_ = s;
    diskShort_ = diskShort;
    texts_ = view_.Read(controller_);
    UpdateButtons();
    Refresh(false);
    if (!changeSeenAt_) changeSeenAt_ = posted;  // the redraw that shows it measures the wait
  }
  if (s == DownloadState::kFinished) {
    if (options_.exitOnFinish) {
      Finish(ExitStatus::kDone, true);
      return;
    }
    if (options_.install && !installPressed_) PressMainAction();
  }
}

void MainWindow::OnSecondTick() {
  if (finished_) return;
  texts_ = view_.Read(controller_);
  std::vector<SkinList::Row> rows = list_.Rows();
  for (size_t i = 0; i < rows.size() && i < texts_.fileTexts.size(); ++i) rows[i].percent = texts_.fileTexts[i];
  list_.SetRows(rows);
  Refresh(false);
}

void MainWindow::UpdateButtons() {
  offer_ = DownloadView::Offer(state_, diskShort_, offer_);
  const struct {
    SkinButton* button;
    ActionButton which;
  } actions[] = {{&startButton_, ActionButton::kStart},
                 {&pauseButton_, ActionButton::kPause},
                 {&resumeButton_, ActionButton::kResume},
                 {&installButton_, ActionButton::kInstall}};
  for (const auto& a : actions) {
    a.button->Show(offer_.button == a.which);
    if (offer_.button == a.which) a.button->Enable(offer_.enabled);
  }
  changeButton_.Show(!offer_.folderShows);
  viewButton_.Show(offer_.folderShows);
  const bool settling = state_ == DownloadState::kPreparing || state_ == DownloadState::kRecover ||
                        state_ == DownloadState::kReload;
  changeButton_.Enable(!settling);
}

// --- actions ---

void MainWindow::PressStart() {
  controller_.MainAction();
  if (!controller_.DiskShort()) {
    startButton_.Show(false);
    pauseButton_.Show(true);
  }
  Refresh(false);
}

void MainWindow::PressMainAction() {
  if (finished_) return;
  if (controller_.State() == DownloadState::kFinished) installPressed_ = true;
  controller_.MainAction();
  Refresh(false);
}

bool MainWindow::AskYesNo(const std::string& text, const std::string& caption) {
  if (options_.verify) return *options_.verify;
  wxMessageDialog question(this, Text(text), Text(caption), wxYES_NO | wxYES_DEFAULT | wxICON_QUESTION);
  const int answer = RunModal(question, [&] { return question.ShowModal(); });
  // A question the program's end cut short does not start an unverified installer.
  return answer == wxID_YES || finished_ || pendingFinish_;
}

void MainWindow::FolderAction() {
  const DownloadState s = controller_.State();
  const std::string folder = controller_.SavePath();
  if (s == DownloadState::kBack || s == DownloadState::kReady) {
    // Offered without the "/QLN156" the program adds.
    const std::string suffix = std::string("/") + DownloadController::kFolderName;
    std::string parent = folder;
    if (parent.size() > suffix.size() && parent.compare(parent.size() - suffix.size(), suffix.size(), suffix) == 0)
      parent.resize(parent.size() - suffix.size());
    wxDirDialog chooser(this, Text(kFolderPrompt), Text(parent), wxDD_DEFAULT_STYLE);
    if (RunModal(chooser, [&] { return chooser.ShowModal(); }) != wxID_OK || finished_) return;
    std::string chosen = chooser.GetPath().ToStdString(wxConvUTF8);
    if (chosen.empty()) return;
    if (chosen.back() != '/') chosen += '/';
    controller_.SetSavePath(chosen + DownloadController::kFolderName);
    Refresh(false);
    return;
  }
  if (folder.empty() || !platform::PathExists(folder.c_str())) {
    ShowMessageBoxAsync(this, "下载位置不存在", DownloadView::kTitle, 0);
    return;
  }
  const std::string installer = folder + "/" + controller_.Package().InstallerName();
  const bool packageThere = s == DownloadState::kFinished || s == DownloadState::kMd5Checking ||
                            s == DownloadState::kCheckRecover || s == DownloadState::kCheckFinished;
  if (packageThere && platform::PathExists(installer.c_str()))
    platform::ShowInFileManager(installer);  // the installer, selected
  else
    platform::OpenWithDesktop(folder);
}

void MainWindow::ShowSettings() {
  settings_.p2p = controller_.P2PSwitch();
  const std::optional<DownloadSettings> chosen =
      RunModal(*settingsDialog_, [&] { return settingsDialog_->Run(settings_); });
  if (!chosen || finished_) return;
  settings_ = *chosen;
  controller_.ApplyRateLimit(settings_.rateLimit);
  controller_.SetShutdownAfterCompletion(settings_.shutdownWhenDone);
  controller_.SetP2PSwitch(settings_.p2p);
}

void MainWindow::CloseButton() {
  int choice = controller_.Record().ReadCloseSelection();
  if (choice != ClosePrompt::kTray && choice != ClosePrompt::kExit) {
    Iconize(false);
    Show();
    const CloseAnswer answer = RunModal(*closePrompt_, [&] { return closePrompt_->Run(); });
    if (finished_) return;
    if (answer.remember && answer.choice != 0)
      controller_.Record().WriteCloseSelection(static_cast<uint32_t>(answer.choice));
    choice = answer.choice;
  }
  if (choice == ClosePrompt::kTray) {
    HideToTray();
  } else if (choice == ClosePrompt::kExit) {
    exitChosen_ = exitLogged_ = true;
    Finish(ExitStatus::kUserQuit, true);
  }
}

void MainWindow::CancelCommand() {
  if (exitChosen_) {
    exitChosen_ = exitLogged_ = true;
    Finish(ExitStatus::kUserQuit, true);
  } else {
    CloseButton();
  }
}

void MainWindow::HideToTray() {
  if (!TrayIcon::HostAvailable()) {
    Iconize(true);  // no tray to hide in: the window is minimised instead
    return;
  }
  tray_ = std::make_unique<TrayIcon>([this] { CallAfter([this] { RestoreFromTray(); }); },
                                     [this] { exitChosen_ = exitLogged_ = true; },
                                     [this] { CallAfter([this] { CancelCommand(); }); });
  tray_->SetIcon(wxBitmapBundle(art_.Get(layout::kProgramIcon)), Text(DownloadView::kTitle));
  Hide();
}

void MainWindow::RestoreFromTray() {
  exitChosen_ = exitLogged_ = false;
  if (tray_) {
    tray_->RemoveIcon();
    tray_.reset();
  }
  Show();
  Iconize(false);
  Raise();
}

void MainWindow::ToggleList() {
  listHidden_ = !listHidden_;
  list_.SetFocus(!listHidden_);
  const wxSize size(layout::kWidth, layout::kHeight + (listHidden_ ? 0 : layout::kListExtra));
  SetMinClientSize(wxSize(layout::kWidth, layout::kHeight));
  SetClientSize(size);
  ApplyShape();
  Refresh(false);
}

void MainWindow::Finish(ExitStatus status, bool userExit) {
  if (finished_) return;
  if (openDialog_) {
    // A dialog's own event loop runs inside one of this window's handlers:
    // the window may only go once that handler has returned. The dialog is
    // closed now and the end follows as soon as it has.
    pendingFinish_ = std::make_pair(status, userExit);
    if (openDialog_->IsModal()) openDialog_->EndModal(wxID_CANCEL);
    return;
  }
  finished_ = true;
  status_ = status;
  handOverTimer_.Stop();
  Hide();
  if (timers_) timers_->Stop();
  if (tray_) {
    tray_->RemoveIcon();
    tray_.reset();
  }
  SetMessageBoxPresenter({});
  // How long the window took at worst to show a new state, from the timer's
  // evaluation to the finished redraw (the window must keep up under load).
  LogLine(kLogApplication, "窗口重绘: 状态改变后最长 %lld ms", static_cast<long long>(longestRedrawWait_.count()));
  controller_.ExitSteps(userExit);
  if (whenFinished) whenFinished(status);
  Destroy();
}

}  // namespace pf::ui
