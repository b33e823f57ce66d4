#include "app/ControllerTimers.h"

#include <chrono>

#include "app/DownloadController.h"
#include "engine/base/CPelicanfetchLog.h"

namespace pf {

ControllerTimers::ControllerTimers(DownloadController& controller,
                                   std::function<void(TimerTick, DownloadState)> tick)
    : controller_(controller), tick_(std::move(tick)) {}

ControllerTimers::~ControllerTimers() { Stop(); }

void ControllerTimers::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
}

void ControllerTimers::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ControllerTimers::Run() {
  using Clock = std::chrono::steady_clock;
  const auto statePeriod = std::chrono::milliseconds(kStatePeriodMs);
  const auto secondPeriod = std::chrono::milliseconds(kSecondPeriodMs);
  auto nextState = Clock::now();
  auto nextSecond = nextState + secondPeriod;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    try {
      const DownloadState state = controller_.EvaluateState();
      if (tick_) tick_(TimerTick::kState, state);
      if (Clock::now() >= nextSecond) {
        nextSecond += secondPeriod;
        if (state != DownloadState::kFinished && state != DownloadState::kCheckFinished)
          controller_.OneSecondTick();
        if (tick_) tick_(TimerTick::kSecond, controller_.State());
      }
    } catch (...) {
      // A step that threw is logged; the timers go on as the window's would.
      LogCaught(kLogApplication, "ControllerTimers");
    }
    lock.lock();
    nextState += statePeriod;
    // A late step is not made up for with a burst of steps.
    if (nextState < Clock::now()) nextState = Clock::now();
    wake_.wait_until(lock, nextState, [this] { return stop_; });
  }
}

}  // namespace pf
