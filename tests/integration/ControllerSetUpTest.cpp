// The controller's set-up: what it places in the data folder and where it
// falls back to, the HTTP budget read from the task-link INI, and the expiry
// check with the address it may open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#include "app/DownloadController.h"
#include "app/EmbeddedPackage.h"
#include "app/ListenPortChoice.h"
#include "engine/api/EngineApi.h"
#include "engine/base/CPelicanfetchLog.h"
#include "support/LoopbackServers.h"
#include "support/ScopedProcessState.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ControllerSetUp : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("pf-setup-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "cwd");
    fs::create_directories(root / "tmp");
    previousCwd = fs::current_path();
    fs::current_path(root / "cwd");  // where the task-link INI is looked for
    previousTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
    package.packageId = "0123456789abcdef0123456789abcdef";
    SetMessageBoxPresenter([this](void*, const std::string& text, const std::string&, uint32_t) {
      std::lock_guard<std::mutex> lock(messagesMutex);
      messages.push_back(text);
    });
  }
  void TearDown() override {
    SetMessageBoxPresenter({});
    StopDataUpload();
    DestroyLog();
    StopEngine();
    fs::current_path(previousCwd);
    if (previousTmp.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", previousTmp.c_str(), 1);
    fs::remove_all(root);
  }
  int Initialise(DownloadController& c) {
    c.chooseListenPort = [] { return 0; };
    return c.Initialise();
  }

  testing::ScopedProcessState processState;
  fs::path root, previousCwd;
  std::string previousTmp;
  PackageTable package;
  // Messages are shown on a thread of their own.
  std::vector<std::string> Messages(size_t atLeast) {
    for (int i = 0; i < 100; ++i) {
      {
        std::lock_guard<std::mutex> lock(messagesMutex);
        if (messages.size() >= atLeast) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::lock_guard<std::mutex> lock(messagesMutex);
    std::vector<std::string> taken;
    taken.swap(messages);
    return taken;
  }

  std::mutex messagesMutex;
  std::vector<std::string> messages;  // guarded by messagesMutex
};

TEST_F(ControllerSetUp, WritesTheTelemetryConfigurationAndFallsBackToTheTemporaryFolder) {
  const std::string config = DecodedEmbeddedResource(kTelemetryConfigResourceType, kTelemetryConfigResource);
  ASSERT_FALSE(config.empty());
  {
    const fs::path data = root / "data" / "deep" / "er";
    DownloadController c(package, data.string());
    EXPECT_EQ(Initialise(c), 0);
    EXPECT_EQ(c.TelemetryConfigPath(), (data / DownloadController::kTelemetryConfigName).string());
    EXPECT_EQ(ReadAll(c.TelemetryConfigPath()), config);
    StopDataUpload();
  }
  {
    // A data folder that cannot exist (its parent is a file): the temporary folder takes it.
    std::ofstream(root / "file") << "x";
    DownloadController c(package, (root / "file" / "data").string());
    EXPECT_EQ(Initialise(c), 0);
    EXPECT_EQ(c.TelemetryConfigPath(), (root / "tmp" / DownloadController::kTelemetryConfigName).string());
    EXPECT_EQ(ReadAll(c.TelemetryConfigPath()), config);
    StopDataUpload();
  }
  {
    // Nowhere to write: the program must quit.
    ::setenv("TMPDIR", (root / "file" / "tmp").c_str(), 1);
    DownloadController c(package, (root / "file" / "data").string());
    EXPECT_EQ(Initialise(c), DownloadController::kCannotConfigureTelemetry);
  }
}

TEST_F(ControllerSetUp, TheHttpBudgetComesFromTheTaskLinkFileWithinItsRange) {
  const struct {
    const char* ini;  // nullptr: no file
    int budget;
  } cases[] = {
      {nullptr, 36},
      {"[PelicanfetchTask]\nPelicanfetchTaskLink=10\n", 10},
      {"[PelicanfetchTask]\nPelicanfetchTaskLink=200\n", 200},
      {"[PelicanfetchTask]\nPelicanfetchTaskLink=9\n", 36},
      {"[PelicanfetchTask]\nPelicanfetchTaskLink=201\n", 36},
      {"[PelicanfetchTask]\nPelicanfetchTaskLink=lots\n", 36},
  };
  for (const auto& c : cases) {
    fs::remove(root / "cwd" / "PelicanfetchTaskLink.ini");
    if (c.ini) std::ofstream(root / "cwd" / "PelicanfetchTaskLink.ini") << c.ini;
    DownloadController controller(package, (root / "data").string(), 77);
    ASSERT_EQ(Initialise(controller), 0);
    EXPECT_EQ(controller.HttpBudget(), c.budget) << (c.ini ? c.ini : "no file");
    StopDataUpload();
  }
}

TEST_F(ControllerSetUp, AFreeListenPortIsChosenInItsRange) {
  const int port = ChooseFreeListenPort();
  EXPECT_GE(port, kLowestListenPort);
  EXPECT_LE(port, kHighestListenPort);
}

TEST_F(ControllerSetUp, AnExpiredBuildTellsTheUserAndOpensOnlyAWebAddress) {
  if (!testing::ProgramExists("nginx")) GTEST_SKIP() << "nginx is missing";
  fs::create_directories(root / "www");
  const auto list = [](const std::string& expired, const std::string& url) {
    return "<project><configs><p2p-switch>on</p2p-switch><expire-info><expired>" + expired +
           "</expired><message>此版本已过期</message><url>" + url + "</url></expire-info></configs></project>";
  };
  std::ofstream(root / "www" / "expired.xml") << list("true", "https://example.invalid/new");
  std::ofstream(root / "www" / "local.xml") << list("true", "file:///etc/passwd");
  std::ofstream(root / "www" / "current.xml") << list("false", "https://example.invalid/new");
  testing::LoopbackNginx nginx;
  ASSERT_TRUE(nginx.Start(root / "www", root / "nginx"));

  const struct {
    const char* path;
    bool expired;
    const char* opened;  // empty: nothing opened
  } cases[] = {
      {"/expired.xml", true, "https://example.invalid/new"},
      {"/local.xml", true, ""},
      {"/current.xml", false, ""},
      {"/missing.xml", false, ""},
  };
  for (const auto& c : cases) {
    package.resourceListUrl = nginx.Url(c.path);
    DownloadController controller(package, (root / "data").string());
    std::vector<std::string> opened;
    controller.openAddress = [&](const std::string& address) { opened.push_back(address); };
    ASSERT_EQ(Initialise(controller), 0);
    Messages(0);
    EXPECT_EQ(controller.CheckExpiry(), c.expired) << c.path;
    // The message box appends the machine id.
    const std::vector<std::string> shown = Messages(c.expired ? 1 : 0);
    ASSERT_EQ(shown.size(), c.expired ? 1u : 0u) << c.path;
    if (c.expired) {
      EXPECT_EQ(shown[0].rfind("此版本已过期", 0), 0u) << shown[0];
    }
    EXPECT_EQ(opened, *c.opened ? std::vector<std::string>{c.opened} : std::vector<std::string>{}) << c.path;
    StopDataUpload();
  }
  nginx.Stop();
}

}  // namespace
}  // namespace pf
