#include "platform/SystemShutdown.h"

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace pf::platform {
namespace {

class ShutdownCommand : public SystemShutdown {
 public:
  bool ScheduleInOneMinute(const std::string& message) override {
    char program[] = "shutdown";
    char halt[] = "-h";
    char delay[] = "+1";
    char* argv[] = {program, halt, delay, const_cast<char*>(message.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

}  // namespace

std::unique_ptr<SystemShutdown> MakeSystemShutdown() { return std::make_unique<ShutdownCommand>(); }

}  // namespace pf::platform
