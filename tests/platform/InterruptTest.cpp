#include "platform/Interrupt.h"

#include <gtest/gtest.h>

#include <csignal>

namespace pf::platform {
namespace {

// The first Ctrl-C or SIGTERM is noted and the process goes on; a second
// one of the same kind ends the process.
TEST(InterruptTest, FirstRequestIsNotedSecondEndsTheProcess) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    InstallInterruptHandlers();
    EXPECT_FALSE(InterruptRequested());
    std::raise(signal);
    EXPECT_TRUE(InterruptRequested());
    // The handler of the other kind is still ours; raising it leaves both at
    // their defaults for the rest of the test program.
    std::raise(signal == SIGINT ? SIGTERM : SIGINT);
    EXPECT_EXIT(
        {
          InstallInterruptHandlers();
          std::raise(signal);
          std::raise(signal);
        },
        ::testing::KilledBySignal(signal), "");
  }
}

}  // namespace
}  // namespace pf::platform
