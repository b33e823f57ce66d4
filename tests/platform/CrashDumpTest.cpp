#include "platform/CrashDump.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace pf::platform {
namespace {

namespace fs = std::filesystem;

// A child that dies of `signal` leaves one dump named after the time, in its
// working directory, and still ends by that signal.
TEST(CrashDump, AFatalSignalLeavesADumpAndEndsTheProcessAsTheSignalWould) {
  for (const int signal : {SIGSEGV, SIGABRT}) {
    const fs::path folder = fs::temp_directory_path() / ("pf-crash-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(2);
      InstallCrashDumpHandler();
      ::raise(signal);
      ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    std::vector<fs::path> dumps;
    for (const auto& entry : fs::directory_iterator(folder)) dumps.push_back(entry.path());
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(std::regex_match(dumps[0].filename().string(),
                                 std::regex(R"(\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2,3}-\d{2}\.dmp)")))
        << dumps[0];
    std::ifstream in(dumps[0]);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("signal " + std::to_string(signal)), std::string::npos) << text.str();
    fs::remove_all(folder);
  }
}

}  // namespace
}  // namespace pf::platform
