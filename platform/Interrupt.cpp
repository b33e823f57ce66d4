#include "platform/Interrupt.h"

#include <signal.h>

namespace pf::platform {
namespace {

volatile sig_atomic_t requested = 0;

void OnSignal(int) { requested = 1; }

}  // namespace

void InstallInterruptHandlers() {
  requested = 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: the first request is noted, the next one ends the process.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return requested != 0; }

}  // namespace pf::platform
