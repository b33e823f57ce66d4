#include "ui/terminal/TerminalFrontEnd.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/ControllerTimers.h"
#include "app/DownloadController.h"
#include "platform/Interrupt.h"
#include "platform/ProgramLauncher.h"
#include "platform/SingleInstance.h"
#include "platform/Terminal.h"
#include "telemetry/ReportingCalls.h"
#include "ui/program/StartOptions.h"
#include "ui/terminal/StatusBlock.h"

namespace pf::ui {
namespace {

constexpr int kKeyWaitMs = 100;
// Away from a terminal a line is written when the state changes and at
// least this often.
constexpr int kPlainLineEverySeconds = 10;

// Lines are cut by the terminal, not wrapped, so that the block keeps its
// height and can be redrawn in place.
constexpr const char* kNoWrap = "\033[?7l";
constexpr const char* kWrap = "\033[?7h";

bool Unattended(const ProgramOptions& o) { return o.start || o.install || o.exitOnFinish; }

}  // namespace

TerminalFrontEnd::TerminalFrontEnd(DownloadController& controller, const ProgramOptions& options,
                                   platform::SingleInstance* instance)
    : controller_(controller),
      options_(options),
      instance_(instance),
      terminal_(platform::StdoutIsTerminal()) {}

TerminalFrontEnd::~TerminalFrontEnd() { SetMessageBoxPresenter({}); }

void TerminalFrontEnd::Post(EventKind kind, std::string text, std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    events_.push_back({kind, std::move(text), std::move(work)});
  }
  eventsReady_.notify_one();
}

ExitStatus TerminalFrontEnd::Run() {
  SetMessageBoxPresenter([this](void*, const std::string& text, const std::string&, uint32_t) {
    Post(EventKind::kMessage, text);
  });
  controller_.askYesNo = [this](const std::string& text, const std::string&) { return AskYesNo(text); };
  controller_.postMainAction = [this] { Post(EventKind::kMainAction); };
  controller_.endProgram = [this] { Post(EventKind::kInstallerStarted); };
  controller_.postToWindow = [this](std::function<void()> work) { Post(EventKind::kWork, {}, std::move(work)); };
  controller_.openAddress = [this](const std::string& address) {
    // A terminal may have no desktop to open it: the address is shown too.
    PrintAboveBlock("» " + address);
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) platform::OpenWithDesktop(address);
  };

  const int started = controller_.Initialise();
  if (started < 0) {
    DrainMessages();
    std::fprintf(stderr, "pelicanfetch: the telemetry configuration could not be written; quitting\n");
    controller_.ExitSteps(true);
    return ExitStatus::kFailed;
  }
  if (started == 0 && controller_.CheckExpiry()) {
    DrainMessages();
    controller_.ExitSteps(true);
    return ExitStatus::kExpired;
  }
  if (const std::string note = ApplyStartOptions(controller_, options_); !note.empty()) PrintAboveBlock(note);
  offer_ = DownloadView::Offer(controller_.State(), controller_.DiskShort(), offer_);

  platform::KeyboardMode keyboard;
  if (terminal_) std::fputs(kNoWrap, stdout);
  std::printf("%s\n", HeaderLine(controller_.SavePath()).c_str());
  std::fflush(stdout);

  ControllerTimers timers(controller_, [this](TimerTick tick, DownloadState) {
    Post(tick == TimerTick::kState ? EventKind::kStateTick : EventKind::kSecondTick);
  });
  timers.Start();
  Redraw();
  if (options_.start) PressMainAction();

  std::optional<ExitStatus> result;
  while (!result) {
    if (platform::InterruptRequested()) {
      result = ExitStatus::kUserQuit;
      break;
    }
    std::string handedOver;
    if (instance_ && instance_->TakeHandOver(&handedOver)) {
      std::fputs("\a", stdout);  // a later start brings the program forward: ring
      PrintAboveBlock("Pelicanfetch 已在运行");
    }
    if (!inputEnded_) {
      bool ended = false;
      if (const std::optional<char> key = platform::ReadInputByte(kKeyWaitMs, &ended)) result = OnKey(*key);
      inputEnded_ = ended;
    } else {
      std::unique_lock<std::mutex> lock(eventsMutex_);
      eventsReady_.wait_for(lock, std::chrono::milliseconds(kKeyWaitMs), [this] { return !events_.empty(); });
    }
    while (!result) {
      Event event;
      {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        if (events_.empty()) break;
        event = std::move(events_.front());
        events_.pop_front();
      }
      result = Handle(event);
    }
  }
  timers.Stop();
  DrainMessages();
  Redraw();
  if (terminal_) std::fputs(kWrap, stdout);
  std::printf("\n");
  std::fflush(stdout);
  // Quitting, a finished run and a failure are the user's exit; a started
  // installer has its own lines.
  controller_.ExitSteps(*result != ExitStatus::kDone || !controller_.InstallerStarted());
  return *result;
}

std::optional<ExitStatus> TerminalFrontEnd::Handle(const Event& event) {
  switch (event.kind) {
    case EventKind::kStateTick: return AfterState(controller_.State());
    case EventKind::kSecondTick:
      Redraw();
      return std::nullopt;
    case EventKind::kMessage:
      PrintAboveBlock("» " + event.text);
      return std::nullopt;
    case EventKind::kMainAction:
      PressMainAction();
      return std::nullopt;
    case EventKind::kInstallerStarted:
      PrintAboveBlock("安装程序已启动");
      return ExitStatus::kDone;
    case EventKind::kWork:
      event.work();
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<ExitStatus> TerminalFrontEnd::AfterState(DownloadState state) {
  if (state == lastState_ && offer_.button != ActionButton::kNone) return std::nullopt;
  const bool changed = state != lastState_;
  lastState_ = state;
  offer_ = DownloadView::Offer(state, controller_.DiskShort(), offer_);
  if (changed) Redraw();
  if (state == DownloadState::kFinished) {
    if (options_.exitOnFinish) return ExitStatus::kDone;
    if (options_.install && !installPressed_) {
      installPressed_ = true;
      PressMainAction();
    }
  }
  if (state == DownloadState::kFailed && Unattended(options_)) return ExitStatus::kFailed;
  return std::nullopt;
}

std::optional<ExitStatus> TerminalFrontEnd::OnKey(char key) {
  switch (key) {
    case '\n':
    case '\r':
    case ' ':
      if (offer_.enabled) PressMainAction();
      break;
    case 'f':
    case 'F':
      filesShown_ = !filesShown_;
      Redraw();
      break;
    case 'q':
    case 'Q':
      return ExitStatus::kUserQuit;
    default:
      break;
  }
  return std::nullopt;
}

void TerminalFrontEnd::PressMainAction() {
  // Install pressed once (by key or option) is not pressed again for --install.
  if (controller_.State() == DownloadState::kFinished) installPressed_ = true;
  controller_.MainAction();
  offer_ = DownloadView::Offer(controller_.State(), controller_.DiskShort(), offer_);
  Redraw();
}

bool TerminalFrontEnd::AskYesNo(const std::string& text) {
  if (options_.verify) {
    PrintAboveBlock(text + (*options_.verify ? " 是 (--verify=yes)" : " 否 (--verify=no)"));
    return *options_.verify;
  }
  if (!platform::StdinIsTerminal() || inputEnded_) {
    // Nobody to ask: verifying is the safe answer.
    PrintAboveBlock(text + " 是");
    return true;
  }
  PrintAboveBlock(text + " [y/n]");
  while (!platform::InterruptRequested()) {
    bool ended = false;
    const std::optional<char> key = platform::ReadInputByte(kKeyWaitMs, &ended);
    if (ended) break;
    if (!key) continue;
    if (*key == 'y' || *key == 'Y') return true;
    if (*key == 'n' || *key == 'N') return false;
  }
  return true;  // an interrupted question does not start an unverified installer
}

void TerminalFrontEnd::EraseBlock() {
  if (!terminal_ || blockLines_ == 0) return;
  if (blockLines_ > 1) std::printf("\033[%dA", blockLines_ - 1);
  std::printf("\r\033[J");
  blockLines_ = 0;
}

void TerminalFrontEnd::PrintAboveBlock(const std::string& text) {
  EraseBlock();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  if (terminal_ && haveTexts_) Draw();
}

void TerminalFrontEnd::Redraw() {
  lastTexts_ = view_.Read(controller_);
  haveTexts_ = true;
  Draw();
}

void TerminalFrontEnd::Draw() {
  const std::string status = StatusLine(lastTexts_, offer_);
  std::vector<std::string> lines{status};
  if (filesShown_)
    for (std::string& line : FileLines(lastTexts_, controller_.Package())) lines.push_back(std::move(line));
  if (terminal_) {
    EraseBlock();
    for (size_t i = 0; i < lines.size(); ++i) std::printf(i + 1 < lines.size() ? "%s\n" : "%s", lines[i].c_str());
    blockLines_ = static_cast<int>(lines.size());
  } else {
    // A log of the run: the status when the state or the button changed,
    // else now and then.
    const bool changed = lastTexts_.state != printedState_ || offer_.button != printedOffer_.button ||
                         offer_.enabled != printedOffer_.enabled;
    if (changed || ++secondsSincePrint_ >= kPlainLineEverySeconds) {
      std::printf("%s\n", status.c_str());
      if (changed && filesShown_)
        for (size_t i = 1; i < lines.size(); ++i) std::printf("%s\n", lines[i].c_str());
      printedState_ = lastTexts_.state;
      printedOffer_ = offer_;
      secondsSincePrint_ = 0;
    }
  }
  std::fflush(stdout);
}

void TerminalFrontEnd::DrainMessages() {
  std::deque<Event> left;
  {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    left.swap(events_);
  }
  for (const Event& e : left)
    if (e.kind == EventKind::kMessage) PrintAboveBlock("» " + e.text);
}

}  // namespace pf::ui
