// A task in a child process is killed with SIGKILL at random moments and
// started again. Whatever its saved state claims as held must verify on disk
// after every kill, and in the end the task completes with the right file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "engine/base/Bitfield.h"
#include "engine/content/Bencode.h"
#include "engine/content/QElement.h"
#include "engine/content/Sha1.h"
#include "engine/content/TaskStateFile.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

pid_t Spawn(const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// The pieces the state file's resume record claims as held.
std::vector<int> ClaimedPieces(const std::string& stateFile, int pieceCount) {
  std::vector<int> held;
  TaskStateStrings saved;
  if (!TaskStateFile::Read(stateFile, saved) || saved.bits.empty()) return held;
  const auto record = ParseElement(saved.bits);
  if (!record) return held;
  const QElement* key = record->FindText("BitField", 8);
  const QElement* value = key ? record->NextSibling(key) : nullptr;
  const std::string_view bits = TextBytes(value);
  const BitfieldView claimed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bits.data()), bits.size()));
  for (int i = 0; i < pieceCount; ++i)
    if (claimed.Test(i)) held.push_back(i);
  return held;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(KilledTask, ResumesAfterEveryKillAndNeverClaimsABadPiece) {
  const fs::path dir = fs::temp_directory_path() / ("pf-killed-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "save");
  testing::TorrentFixture t(dir, "data.pak", 12 * 1048576 + 12345, 65536);
  const std::string contentPath = (dir / "content.bin").string();
  std::ofstream(contentPath, std::ios::binary) << t.content;
  const std::string target = (dir / "save" / "data.pak").string();
  const std::string stateFile = (dir / "task.pfinfo").string();
  const std::vector<std::string> args = {PF_TASK_CHILD_PATH, t.path, contentPath, target, stateFile, "1"};

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> lifetime(300, 2600);
  size_t mostClaimed = 0;
  for (int run = 0; run < 20; ++run) {
    const pid_t child = Spawn(args);
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(lifetime(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    const std::vector<int> claimed = ClaimedPieces(stateFile, t.PieceCount());
    mostClaimed = std::max(mostClaimed, claimed.size());
    const fs::path onDisk = fs::exists(target) ? fs::path(target) : fs::path(target + ".pftmp");
    const std::string bytes = ReadFile(onDisk);
    for (int piece : claimed) {
      const size_t start = static_cast<size_t>(piece) * t.pieceLength;
      ASSERT_LE(start + 1, bytes.size()) << "run " << run << " claims piece " << piece << " beyond the file";
      const size_t length = std::min<size_t>(t.pieceLength, t.content.size() - start);
      ASSERT_TRUE(bytes.compare(start, length, t.content, start, length) == 0)
          << "run " << run << ": piece " << piece << " is claimed held but its bytes are wrong";
    }
  }
  EXPECT_GT(mostClaimed, 0u) << "the killed runs made progress that survived";

  // The last run goes to the end.
  const pid_t child = Spawn(args);
  int status = 0;
  for (int waited = 0; waited < 60000 && ::waitpid(child, &status, WNOHANG) == 0; waited += 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (::waitpid(child, &status, WNOHANG) == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the task did not complete";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(ReadFile(target) == t.content) << "the finished file is right";
  EXPECT_FALSE(fs::exists(stateFile));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pf
