#pragma once
// The application's two timers: every 100 ms the state evaluation, every
// 1000 ms the one-second tick. They run on a thread of their own and never
// draw: each tick tells the front end, which redraws on its own thread.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "app/DownloadState.h"

namespace pf {

class DownloadController;

enum class TimerTick { kState, kSecond };

class ControllerTimers {
 public:
  static constexpr int kStatePeriodMs = 100;
  static constexpr int kSecondPeriodMs = 1000;

  // `tick` runs on the timer thread after each step, with the state the
  // evaluation returned; it must only post work to the front end.
  ControllerTimers(DownloadController& controller, std::function<void(TimerTick, DownloadState)> tick);
  ~ControllerTimers();
  ControllerTimers(const ControllerTimers&) = delete;
  ControllerTimers& operator=(const ControllerTimers&) = delete;

  void Start();
  // Ends the thread; no tick runs after it returns.
  void Stop();

 private:
  void Run();

  DownloadController& controller_;
  const std::function<void(TimerTick, DownloadState)> tick_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
};

}  // namespace pf
