#pragma once
// Shutting the computer down after a finished download. Behind an interface
// so that tests never do it for real.
#include <memory>
#include <string>

namespace pf::platform {

class SystemShutdown {
 public:
  virtual ~SystemShutdown() = default;
  // Asks the system to power off in one minute, telling logged-in users
  // `message`; true when the request was accepted.
  virtual bool ScheduleInOneMinute(const std::string& message) = 0;
};

// The real one: `shutdown -h +1 MESSAGE`.
std::unique_ptr<SystemShutdown> MakeSystemShutdown();

}  // namespace pf::platform
