// One copy per package: a second start hands over to a live first copy, ends
// a hung one only when it is this program, and never touches anything else.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/SingleInstance.h"

namespace pf::platform {
namespace {

namespace fs = std::filesystem;
using Role = SingleInstance::Role;

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("single-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    name = "pkg" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override { fs::remove_all(folder); }

  // A forked copy of this test program that claims and then either answers
  // hand-overs or hangs; it reports its role in its exit code.
  pid_t Fork(bool answers) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      SingleInstance instance(folder.string(), name);
      if (instance.Claim() != Role::kFirst) ::_exit(90);
      for (int i = 0; i < 500; ++i) {
        if (answers && instance.TakeHandOver(nullptr)) ::_exit(0);
        ::usleep(10000);
      }
      ::_exit(91);
    }
    return pid;
  }
  bool WaitLocked() {  // until the child holds the lock
    for (int i = 0; i < 300; ++i) {
      if (fs::exists(folder / (name + ".lock")) && fs::file_size(folder / (name + ".lock")) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  fs::path folder;
  std::string name;
};

TEST_F(SingleInstanceTest, ALaterStartHandsOverItsFolderAndTheFirstAnswers) {
  SingleInstance first(folder.string(), name);
  ASSERT_EQ(first.Claim(), Role::kFirst);
  const pid_t later = ::fork();
  if (later == 0) {
    SingleInstance second(folder.string(), name);
    ::_exit(second.Claim() == Role::kHandedOver ? 0 : 1);
  }
  std::string cwd;
  bool taken = false;
  for (int i = 0; i < 200 && !taken; ++i) {
    taken = first.TakeHandOver(&cwd);
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(taken);
  EXPECT_EQ(cwd, fs::current_path().string());
  int status = 0;
  ASSERT_EQ(::waitpid(later, &status, 0), later);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SingleInstanceTest, AHungFirstCopyOfThisProgramIsEndedAndTheNewStartCarriesOn) {
  const pid_t hung = Fork(false);
  ASSERT_TRUE(WaitLocked());
  SingleInstance second(folder.string(), name);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(second.Claim(300), Role::kTookOver);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  int status = 0;
  ASSERT_EQ(::waitpid(hung, &status, 0), hung);
  EXPECT_TRUE(WIFSIGNALED(status));
  // The new start now answers as the first copy.
  const pid_t third = ::fork();
  if (third == 0) {
    SingleInstance instance(folder.string(), name);
    ::_exit(instance.Claim() == Role::kHandedOver ? 0 : 1);
  }
  bool taken = false;
  for (int i = 0; i < 200 && !taken; ++i) {
    taken = second.TakeHandOver(nullptr);
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(taken);
  ASSERT_EQ(::waitpid(third, &status, 0), third);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SingleInstanceTest, ALockHeldByAnotherProgramIsNeverEnded) {
  // python holds our lock file and answers nothing: it is not this program.
  const std::string lock = (folder / (name + ".lock")).string();
  const pid_t other = ::fork();
  if (other == 0) {
    ::execl("/usr/bin/python3", "python3", "-c",
            "import fcntl,sys,time\nf=open(sys.argv[1],'w')\nfcntl.lockf(f,fcntl.LOCK_EX)\nf.write('1\\n');f.flush()\n"
            "time.sleep(30)",
            lock.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_TRUE(WaitLocked());
  EXPECT_FALSE(IsThisProgram(other));
  SingleInstance second(folder.string(), name);
  EXPECT_EQ(second.Claim(200), Role::kTookOver);
  EXPECT_EQ(::kill(other, 0), 0) << "another program holding the lock must live";
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
}

}  // namespace
}  // namespace pf::platform
