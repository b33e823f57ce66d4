// Starting the installer: it runs in the folder given, and each way a start
// can fail has its own answer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/ProgramLauncher.h"

namespace pf::platform {
namespace {

namespace fs = std::filesystem;

class ProgramLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("launch-" + std::to_string(::getpid()) + "-" +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }
  std::string Write(const std::string& name, const std::string& text, mode_t mode) {
    const fs::path path = folder / name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path.string();
  }
  fs::path folder;
};

TEST_F(ProgramLauncherTest, TheProgramRunsInTheFolderGivenEvenWhenDownloadedWithoutExecutePermission) {
  const std::string installer = Write("setup.sh", "#!/bin/sh\ntouch installed-here\n", 0644);
  ASSERT_EQ(LaunchProgram(installer, folder.string()), LaunchResult::kStarted);
  for (int i = 0; i < 300 && !fs::exists(folder / "installed-here"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(folder / "installed-here"));
}

TEST_F(ProgramLauncherTest, FailuresSayWhy) {
  fs::create_directories(folder / "a-folder.exe");
  const std::string garbage = Write("garbage.exe", "MZ not a program of this system", 0755);
  const struct {
    std::string path;
    LaunchResult expected;
  } cases[] = {
      {(folder / "missing.exe").string(), LaunchResult::kFileNotFound},
      {(folder / "no-folder" / "setup.exe").string(), LaunchResult::kPathNotFound},
      {(folder / "a-folder.exe").string(), LaunchResult::kAccessDenied},
      {garbage, LaunchResult::kBadFormat},
  };
  for (const auto& c : cases) EXPECT_EQ(LaunchProgram(c.path, folder.string()), c.expected) << c.path;
}

}  // namespace
}  // namespace pf::platform
