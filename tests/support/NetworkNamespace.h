#pragma once
// Tests that must not reach any real DNS server run again inside a network
// and mount namespace of their own: loopback up, and a resolver that asks a
// server the test starts on 127.0.0.1 (five seconds, one try).
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "support/LoopbackServers.h"

namespace pf::testing {

// Runs this test program again inside such a namespace with only the tests
// of `filter`; the environment variable `variable` names `dir` for them.
// Answers the exit status.
inline int RunInsideResolverNamespace(const char* variable, const std::filesystem::path& dir,
                                      const std::string& filter) {
  std::filesystem::create_directories(dir);
  WriteFile(dir / "resolv.conf", "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n");
  const std::string command = std::string(variable) + "=" + dir.string() +
                              " unshare --net --mount -- /bin/sh -c 'ip link set lo up && mount --bind " +
                              (dir / "resolv.conf").string() + " /etc/resolv.conf && exec /proc/" +
                              std::to_string(::getpid()) + "/exe --gtest_filter=" + filter + "'";
  return std::system(command.c_str());
}

// Runs `work` on a thread of its own that entered the named network
// namespace (made with `ip netns add`); the threads it starts are in that
// namespace too. False when the namespace could not be entered.
inline bool RunInNamedNetworkNamespace(const std::string& name, const std::function<void()>& work) {
  bool entered = false;
  std::thread([&] {
    const int fd = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    if (entered) work();
  }).join();
  return entered;
}

}  // namespace pf::testing
