#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace pf::platform {
namespace {

uint32_t SteadyTicks() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(ms);
}

std::atomic<TickSource> tickSource{&SteadyTicks};

}  // namespace

uint32_t TickCount() { return tickSource.load(std::memory_order_acquire)(); }

void SetTickSource(TickSource source) {
  tickSource.store(source ? source : &SteadyTicks, std::memory_order_release);
}

void SleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int64_t SystemTimeSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace pf::platform
