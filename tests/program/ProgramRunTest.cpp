// The program as a user runs it, on the demo package and its loopback
// servers: headless from Start to the launched installer, a second start on
// an untouched and on a damaged package, and the terminal front end driven
// by keys in a real terminal (tmux).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/FileDigest.h"
#include "app/PackageTable.h"
#include "support/ControllerDriver.h"
#include "support/LoopbackServers.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int Shell(const std::string& command) { return std::system(command.c_str()); }

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class ProgramRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(PF_PACKAGE_NAME) != "demo") GTEST_SKIP() << "the build embeds another package";
    for (const char* program : {"nginx", "opentracker"})
      if (!testing::ProgramExists(program)) GTEST_SKIP() << program << " is missing";
    root = fs::temp_directory_path() / ("pf-program-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "run");
    ASSERT_EQ(Shell("PFTOOL=" + Quote(PFTOOL_PATH) + " " + Quote(PF_REPO "/scripts/package-servers") + " start demo " +
                    Quote((root / "content").string()) + " " + Quote((root / "servers").string()) +
                    " > " + Quote((root / "servers.log").string()) + " 2>&1"),
              0)
        << testing::ReadFile(root / "servers.log");
    serversStarted = true;
  }
  void TearDown() override {
    if (serversStarted)
      Shell(Quote(PF_REPO "/scripts/package-servers") + " stop " + Quote((root / "servers").string()) + " >/dev/null");
    if (!HasFailure()) fs::remove_all(root);
  }

  // The program's command line with this test's data folder; it leaves the
  // network's gateway alone.
  std::vector<std::string> Command(const std::vector<std::string>& options) const {
    std::vector<std::string> args{"env", "XDG_DATA_HOME=" + (root / "data").string(), "XDG_RUNTIME_DIR=",
                                  "TMPDIR=" + (root / "run").string(), PELICANFETCH_PATH, "--headless",
                                  "--no-upnp"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }
  // Runs the program headless to its end: its exit status.
  int RunProgram(const std::vector<std::string>& options, const std::string& logName) {
    const pid_t pid = testing::StartProcess(Command(options), (root / logName).string());
    return testing::WaitForExit(pid, 120000);
  }
  fs::path Saved(const std::string& name) const { return root / "save" / "QLN156" / name; }
  bool Installed() const {
    for (int i = 0; i < 50; ++i) {
      if (fs::exists(Saved("demo-installed"))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  void ExpectPackageIntact() const {
    for (const PackageFile& f : PackageTable::BuiltIn().files)
      EXPECT_EQ(FileMd5(Saved(f.fileName).string()), f.md5) << f.fileName;
  }
  // The event codes the collector received so far.
  std::vector<std::string> Events() const { return testing::CollectorEventCodes(root / "servers" / "events.jsonl"); }
  // The events after the first `skip`, once `last` arrived (the upload
  // thread sends them on its own time).
  std::vector<std::string> EventsUntil(size_t skip, const std::string& last) const {
    std::vector<std::string> codes;
    for (int i = 0; i < 100; ++i) {
      codes = Events();
      codes.erase(codes.begin(), codes.begin() + static_cast<long>(std::min(skip, codes.size())));
      if (std::find(codes.begin(), codes.end(), last) != codes.end()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return codes;
  }
  static void ExpectInOrder(const std::vector<std::string>& codes, const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& code : codes)
      if (at < expected.size() && code == expected[at]) ++at;
    EXPECT_EQ(at, expected.size()) << "events seen: " << ::testing::PrintToString(codes);
  }

  fs::path root;
  bool serversStarted = false;
};

TEST_F(ProgramRun, HeadlessFromStartToTheInstallerThenSecondStarts) {
  const std::vector<std::string> unattended{"--save", (root / "save").string(), "--start", "--install",
                                            "--verify=yes"};
  ASSERT_EQ(RunProgram(unattended, "first.log"), 0) << testing::ReadFile(root / "first.log");
  EXPECT_TRUE(Installed());
  ExpectPackageIntact();
  ExpectInOrder(EventsUntil(0, "11100004"),
                {"11010000", "11080000", "11060000", "11070000", "11100001", "11100004"});

  // Untouched: the start-up decision finds it complete; Install verifies and installs.
  fs::remove(Saved("demo-installed"));
  size_t seen = Events().size();
  ASSERT_EQ(RunProgram({"--start", "--verify=yes"}, "second.log"), 0) << testing::ReadFile(root / "second.log");
  EXPECT_TRUE(Installed());
  const std::vector<std::string> second = EventsUntil(seen, "11100004");
  ExpectInOrder(second, {"11070000", "11100001", "11100004"});
  EXPECT_EQ(std::count(second.begin(), second.end(), "11010000"), 0) << "a complete package was downloaded again";
  EXPECT_NE(testing::ReadFile(root / "second.log").find("[finished]"), std::string::npos);

  // Damaged between runs: the file is checked again, its bad pieces fetched anew.
  {
    std::fstream f(Saved("Data15601.cab"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1000000);
    f << std::string(70000, '\0');
  }
  fs::remove(Saved("demo-installed"));
  seen = Events().size();
  ASSERT_EQ(RunProgram({"--start", "--install", "--verify=yes"}, "third.log"), 0)
      << testing::ReadFile(root / "third.log");
  EXPECT_TRUE(Installed());
  ExpectPackageIntact();
  ExpectInOrder(EventsUntil(seen, "11100004"), {"11030000", "11060000", "11100001", "11100004"});
  EXPECT_NE(testing::ReadFile(root / "third.log").find("[reload]"), std::string::npos);
}

// A terminal multiplexer session running the program.
class TmuxSession {
 public:
  explicit TmuxSession(std::string name) : name_(std::move(name)) {}
  ~TmuxSession() { Shell("tmux kill-session -t " + name_ + " 2>/dev/null"); }
  bool Start(const std::vector<std::string>& command) {
    std::string line;
    for (const std::string& arg : command) line += Quote(arg) + " ";
    // The pane stays after the program ends, so that its last screen and
    // exit status can be read.
    return Shell("tmux new-session -d -s " + name_ + " -x 160 -y 40 " + Quote(line + "; echo EXIT=$?; sleep 600")) ==
           0;
  }
  void Keys(const std::string& keys) { Shell("tmux send-keys -t " + name_ + " " + keys); }
  std::string Screen() const {
    const std::string file = "/tmp/" + name_ + ".screen";
    Shell("tmux capture-pane -p -t " + name_ + " > " + file);
    std::string text = testing::ReadFile(file);
    fs::remove(file);
    return text;
  }
  // Waits until the screen matches `pattern`; the screen last seen.
  bool WaitFor(const std::string& pattern, int seconds, std::string* screen) {
    const std::regex re(pattern);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    do {
      *screen = Screen();
      if (std::regex_search(*screen, re)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (Clock::now() < deadline);
    return false;
  }

 private:
  std::string name_;
};

TEST_F(ProgramRun, TheTerminalFrontEndDrivenByKeys) {
  if (!testing::ProgramExists("tmux")) GTEST_SKIP() << "tmux is missing";
  TmuxSession tmux("pf-program-" + std::to_string(::getpid()));
  // A limit keeps the download running long enough to pause it.
  ASSERT_TRUE(tmux.Start(Command({"--save", (root / "save").string(), "--limit", "800"})));
  std::string screen;
  ASSERT_TRUE(tmux.WaitFor(R"(\[ready\].*\[开始: Enter\])", 20, &screen)) << screen;
  EXPECT_NE(screen.find("游戏版本: v156"), std::string::npos) << screen;

  tmux.Keys("Enter");
  // State, speed, size and percent as the window shows them.
  const std::string downloading =
      R"(\[downloading\]  \d+(\.\d)? (KB|MB)/s  \d+(\.\d)? (KB|MB)/12\.0 MB  当前进度: \d+\.\d\d%  \[暂停: Enter\])";
  ASSERT_TRUE(tmux.WaitFor(downloading, 30, &screen)) << screen;
  tmux.Keys("Enter");
  ASSERT_TRUE(tmux.WaitFor(R"(\[pause\]  0 B/s  .*\[继续: Enter\])", 10, &screen)) << screen;
  const std::regex percentRe(R"(当前进度: (\d+\.\d\d)%)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(screen, match, percentRe));
  const std::string pausedAt = match[1];
  std::this_thread::sleep_for(std::chrono::seconds(2));
  screen = tmux.Screen();
  ASSERT_TRUE(std::regex_search(screen, match, percentRe));
  EXPECT_EQ(match[1], pausedAt) << "the download went on while paused";

  // A second start hands over to the running copy and ends at once.
  const auto secondStart = Clock::now();
  EXPECT_EQ(RunProgram({"--start"}, "second-start.log"), 5) << testing::ReadFile(root / "second-start.log");
  EXPECT_LT(Clock::now() - secondStart, std::chrono::seconds(3));
  EXPECT_TRUE(tmux.WaitFor("Pelicanfetch 已在运行", 5, &screen)) << screen;

  tmux.Keys("Enter");
  ASSERT_TRUE(tmux.WaitFor(R"(\[(resume|downloading)\].*\[暂停: Enter\])", 10, &screen)) << screen;
  ASSERT_TRUE(tmux.WaitFor(R"(\[finished\]  下载完成  12\.0 MB/12\.0 MB  \[安装: Enter\])", 90, &screen)) << screen;
  tmux.Keys("Enter");
  ASSERT_TRUE(tmux.WaitFor(R"(是否验证安装文件的正确性？ \[y/n\])", 10, &screen)) << screen;
  tmux.Keys("y");
  ASSERT_TRUE(tmux.WaitFor("EXIT=0", 60, &screen)) << screen;
  EXPECT_NE(screen.find("安装程序已启动"), std::string::npos) << screen;
  EXPECT_TRUE(Installed());
  ExpectPackageIntact();
}

}  // namespace
}  // namespace pf
