#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/CPelicanfetchLogApi.h"
#include "platform/DebugOutput.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("pflog-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    base = (dir / "engine").string();
    platform::SetDebugOutputSink([this](const char* line) {
      std::lock_guard<std::mutex> lock(captureMutex);
      debugLines.emplace_back(line);
    });
    log.SetBasePath(base.c_str());
  }
  void TearDown() override { fs::remove_all(dir); }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir;
  std::string base;
  CPelicanfetchLogApi log;
  std::mutex captureMutex;
  std::vector<std::string> debugLines;
  // Goes first: the sink above captures this fixture.
  testing::ScopedProcessState processState;
};

const std::regex kLine(R"(\[\d\d:\d\d:\d\d\] \[(.*)\]\n)");

TEST_F(LogTest, DefaultThresholdsSendLinesToDebugOutputAndOnlyHighChannelsToFiles) {
  log.Write("created", 23, 23);
  ASSERT_EQ(debugLines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(debugLines[0], m, kLine)) << debugLines[0];
  EXPECT_EQ(m[1], "created");
  EXPECT_TRUE(Files().empty()) << "channel 23 is below the file threshold";

  log.Write("resource list", 38, 38);
  EXPECT_EQ(Files(), std::vector<std::string>{"engine.dump.log"});
  EXPECT_TRUE(std::regex_match(ReadAll(dir / "engine.dump.log"), kLine));
  EXPECT_EQ(debugLines.size(), 2u);

  log.Write("dropped", 1, 1);
  EXPECT_EQ(debugLines.size(), 2u) << "level 1 is below the debug threshold";
}

TEST_F(LogTest, ChannelChoosesTheFile) {
  log.SetThresholds(0, 2);
  const std::pair<int, const char*> table[] = {
      {4, "engine.req.log"},          {38, "engine.dump.log"},     {37, "engine.checktask.log"},
      {18, "engine.peerprefer.log"},  {28, "engine.dataupload.log"}, {25, "engine.httptrace.log"},
      {9, "engine.checkpeer.log"},    {29, "engine.written.log"},  {30, "engine.sha1check.log"},
      {31, "engine.peerinfo.log"},    {40, "engine.log"},          {23, "engine.log"},
  };
  for (const auto& [channel, file] : table) {
    fs::remove_all(dir / file);
    log.Write("x", channel, channel);
    EXPECT_TRUE(fs::exists(dir / file)) << channel;
  }
}

TEST_F(LogTest, ThresholdsOf39SwitchOutputsOff) {
  log.SetThresholds(39, 39);
  log.Write("nothing", 38, 38);
  EXPECT_TRUE(debugLines.empty());
  EXPECT_TRUE(Files().empty());

  log.SetThresholds(0, 39);  // files need a debug threshold other than 39
  log.Write("still no file", 38, 38);
  EXPECT_TRUE(Files().empty());
  EXPECT_TRUE(debugLines.empty());
}

TEST_F(LogTest, OverlongTextIsCutToFitTheLine) {
  const std::string text(10000, 'a');
  log.Write(text.c_str(), 38, 38);
  const std::string line = ReadAll(dir / "engine.dump.log");
  EXPECT_EQ(line.size(), 4095u);
  EXPECT_EQ(line.substr(line.size() - 2), "]\n");
}

TEST_F(LogTest, WriteFormatGoesToDebugOutputOnly) {
  log.SetThresholds(0, 2);
  log.WriteFormat("peer %d of %s", 7, "task");
  ASSERT_EQ(debugLines.size(), 1u);
  EXPECT_TRUE(std::regex_match(debugLines[0],
                               std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[peer 7 of task\]\r\n)")))
      << debugLines[0];
  EXPECT_TRUE(Files().empty());
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([this, t] {
      const std::string text = "TID : " + std::to_string(t) + std::string(300, char('a' + t));
      for (int i = 0; i < 200; ++i) log.Write(text.c_str(), 38, 38);
    });
  for (auto& w : writers) w.join();
  std::istringstream lines(ReadAll(dir / "engine.dump.log"));
  std::string line;
  int count = 0;
  const std::regex whole(R"(\[\d\d:\d\d:\d\d\] \[TID : (\d)(a{300}|b{300}|c{300}|d{300})\])");
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
  }
  EXPECT_EQ(count, 800);
}

TEST(GlobalLog, WritersWriteNothingWithoutALogAndThroughItOnceCreated) {
  std::vector<std::string> lines;
  testing::ScopedProcessState processState;
  platform::SetDebugOutputSink([&](const char* line) { lines.emplace_back(line); });
  DestroyLog();
  LogLine(kLogTaskLife, "Create %s, Download, ID : %lu] [Target File : (%s) ", "HTTP Task", 7ul, "/x");
  EXPECT_TRUE(lines.empty());
  CreateLog();
  LogLine(kLogTaskLife, "Create %s, Download, ID : %lu] [Target File : (%s) ", "HTTP Task", 7ul, "/x");
  DestroyLog();
  platform::SetDebugOutputSink(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[Create HTTP Task, Download, ID : 7] [Target File : (/x) ]\n"),
            std::string::npos)
      << lines[0];
}

}  // namespace
}  // namespace pf
