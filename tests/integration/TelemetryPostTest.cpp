// Telemetry posts over libcurl to real servers on loopback: the statistics
// collector, nginx answering 500 / no success / megabytes, and a server that
// accepts and never answers.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/StatCollector.h"
#include "telemetry/CDataStatisticsImp.h"
#include "telemetry/DeviceDetails.h"
#include "telemetry/ReportingCalls.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using testing::Collector;
using testing::WriteConfig;
using Clock = std::chrono::steady_clock;

const char* kBody = ",\"DVersion\":\"1.8\",\"GameID\":\"5\",\"AppVersion\":\"2.0\",\"GVersion\":\"v156\"";

fs::path TempDir(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("pf-telemetry-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::vector<Json::Value> ReadLines(const fs::path& file) {
  std::vector<Json::Value> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    Json::Value value;
    std::istringstream text(line);
    std::string errors;
    if (Json::parseFromStream(Json::CharReaderBuilder(), text, &value, &errors)) lines.push_back(value);
  }
  return lines;
}

std::vector<Json::Value> WaitForLines(const fs::path& file, size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<Json::Value> lines;
  while ((lines = ReadLines(file)).size() < count && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return lines;
}

// The statistics collector tool; its events go to `out`.
int FreePort() {
  testing::ChildProcess python;
  python.Start({"/usr/bin/python3", "-c",
                "import socket;s=socket.socket();s.bind(('127.0.0.1',0));print(s.getsockname()[1])"});
  std::string line;
  return python.ReadLine(&line) ? std::stoi(line) : 0;
}

// nginx with three bad statistics servers.
class BadServers {
 public:
  explicit BadServers(const fs::path& dir) : dir_(dir) {
    for (const char* sub : {"www", "logs", "tmp"}) fs::create_directories(dir / sub);
    {
      // Megabytes of answer with the success text only at the very end.
      std::ofstream big(dir / "www" / "big.json", std::ios::binary);
      const std::string filler(1 << 20, 'x');
      for (int i = 0; i < 8; ++i) big << filler;
      big << "{\"error\":0}";
    }
    failing_ = FreePort();
    refusing_ = FreePort();
    big_ = FreePort();
    std::ofstream conf(dir / "nginx.conf");
    conf << "worker_processes 1; pid tmp/nginx.pid; error_log logs/error.log; user root;\n"
            "events { worker_connections 64; }\n"
            "http { access_log logs/access.log; client_body_temp_path tmp/body;\n"
            "  proxy_temp_path tmp/proxy; fastcgi_temp_path tmp/fcgi; uwsgi_temp_path tmp/uwsgi;\n"
            "  scgi_temp_path tmp/scgi;\n"
            "  server { listen 127.0.0.1:" << failing_ << "; location / { return 500 'broken'; } }\n"
            "  server { listen 127.0.0.1:" << refusing_ << "; location / { return 200 '{\"error\":1}'; } }\n"
            "  server { listen 127.0.0.1:" << big_ << "; root www; error_page 405 =200 $uri;\n"
            "           location / { try_files /big.json =404; } }\n"
            "}\n";
    conf.close();
    nginx_.Start({"nginx", "-p", dir.string(), "-c", "nginx.conf", "-g", "daemon off;"});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(dir / "tmp" / "nginx.pid") && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string Failing() const { return "http://127.0.0.1:" + std::to_string(failing_) + "/stat"; }
  std::string Refusing() const { return "http://127.0.0.1:" + std::to_string(refusing_) + "/stat"; }
  std::string Big() const { return "http://127.0.0.1:" + std::to_string(big_) + "/stat"; }
  size_t Posts() const {
    std::ifstream log(dir_ / "logs" / "access.log");
    size_t n = 0;
    for (std::string line; std::getline(log, line);) n += line.find("\"POST ") != std::string::npos;
    return n;
  }
  // nginx logs a request just after answering it: give the log a moment.
  size_t PostsAfterWaitingFor(size_t expected) const {
    for (int waited = 0; waited < 3000 && Posts() < expected; waited += 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Posts();
  }

 private:
  fs::path dir_;
  int failing_ = 0, refusing_ = 0, big_ = 0;
  testing::ChildProcess nginx_;
};


class TelemetryPost : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ini = dir / "dataupload.pfconf";
    component.SetConfigPath(ini.string().c_str());
    component.SubmitEventDownloadSeveral();  // the event count is process-wide
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir, ini;
  CDataStatisticsImp component;
};

TEST_F(TelemetryPost, BadServersAreSkippedUntilOneAccepts) {
  BadServers nginx(dir / "nginx");
  Collector collector(dir / "events.jsonl");
  ASSERT_GT(collector.Port(), 0);
  WriteConfig(ini, {nginx.Failing(), nginx.Refusing(), collector.Url()});

  const std::string text = "a \"quoted\" C:\\path \xE4\xB8\xAD\xE6\x96\x87 end";
  const std::string body = std::string(kBody) + ",\"Errormsg\":\"" + text + "\"";
  ASSERT_EQ(component.AddEvent("11500106", body.c_str(), 0), 1);
  EXPECT_EQ(component.SubmitEventDownloadSeveral(), 1);
  EXPECT_EQ(nginx.PostsAfterWaitingFor(2), 2u);

  const auto lines = WaitForLines(dir / "events.jsonl", 1, 5000);
  ASSERT_EQ(lines.size(), 1u);
  const Json::Value& event = lines[0];
  EXPECT_EQ(event["path"].asString(), "/stat");
  EXPECT_EQ(event["code"].asString(), "11500106");
  const auto details = DeviceDetails::System();
  EXPECT_EQ(event["identity"]["MachId"].asString(), details->MachId());
  EXPECT_EQ(event["identity"]["Mac"].asString(), details->MacList());
  EXPECT_EQ(event["identity"]["OS"].asString(), details->OsCode());
  EXPECT_EQ(event["identity"]["Sessionid"].asString(), component.SessionId());
  // The texts arrive byte for byte as the caller wrote them, unescaped
  // inside the info text.
  const std::string info = event["info"].asString();
  EXPECT_EQ(info.rfind("{{", 0), 0u);
  EXPECT_NE(info.find("}\n,\"DVersion\""), std::string::npos);
  EXPECT_NE(info.find("\"Errormsg\":\"" + text + "\"}"), std::string::npos) << info;

  // Nobody accepts: 0, and the batch is gone.
  WriteConfig(ini, {nginx.Failing(), nginx.Refusing()});
  ASSERT_EQ(component.AddEvent("11010000", kBody, 0), 1);
  EXPECT_EQ(component.SubmitEventDownloadSeveral(), 0);
  EXPECT_EQ(component.SubmitEventDownloadSeveral(), 0);
  EXPECT_EQ(nginx.PostsAfterWaitingFor(4), 4u);

  // Megabytes of answer are read through, not kept, and still understood.
  WriteConfig(ini, {nginx.Big()});
  ASSERT_EQ(component.AddEvent("11010000", kBody, 0), 1);
  EXPECT_EQ(component.SubmitEventDownloadSeveral(), 1);
}

TEST_F(TelemetryPost, SilentServerCostsSixSecondsThenTheNextIsTried) {
  Collector silent(dir / "unused.jsonl", {"--hang"});
  Collector collector(dir / "events.jsonl");
  ASSERT_GT(silent.Port(), 0);
  WriteConfig(ini, {silent.Url(), collector.Url()});
  ASSERT_EQ(component.AddEvent("11010000", kBody, 0), 1);
  const auto start = Clock::now();
  EXPECT_EQ(component.SubmitEventDownloadSeveral(), 1);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(seconds, 5.8);
  EXPECT_LT(seconds, 9.0);
  EXPECT_EQ(WaitForLines(dir / "events.jsonl", 1, 5000).size(), 1u);
}

// The reporting calls share one upload thread per process, so their whole
// story is one test.
TEST(ReportingCalls, EventsArriveAsOneBatchPerSecond) {
  const fs::path dir = TempDir("reporting");
  const fs::path ini = dir / "dataupload.pfconf";
  Collector collector(dir / "events.jsonl");
  ASSERT_GT(collector.Port(), 0);
  WriteConfig(ini, {collector.Url()});

  ReportEvent("11000000", "before the thread", 0);  // dropped: no upload thread yet
  ASSERT_TRUE(StartTelemetry(ini.string().c_str(), "2.0.1"));

  ReportTransfer("11030000", "127.0.0.1", "206", 30, 100, 10, "12.50", 60, 5, 40, 5, 0, "a b.pak",
                 "http://127.0.0.1/a b.pak", "", 0);
  ReportTransfer("11030000", "127.0.0.1", "206", 45, 250, 10, "25.00", 160, 5, 90, 5, 0, "a b.pak", "", "", 0);
  ReportEvent("11500106", "host \"x\" not found", 0);
  ReportFileEvent("11500101", "\xE4\xB8\xAD.pak", "C:\\bad piece");
  const auto reported = Clock::now();

  auto lines = WaitForLines(dir / "events.jsonl", 4, 4000);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - reported).count(), 2.5);
  for (const auto& line : lines) EXPECT_EQ(line["received"], lines[0]["received"]);  // one post
  const uint64_t first = lines[0]["identity"]["Sequence"].asUInt64();
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["identity"]["Sequence"].asUInt64(), first + i);
    EXPECT_EQ(lines[i]["identity"]["MachId"].asString(), DeviceDetails::System()->MachId());
  }
  EXPECT_EQ(lines[0]["info"].asString().substr(lines[0]["info"].asString().find("}\n") + 2),
            ",\"DVersion\":\"1.8\",\"GameID\":\"5\",\"AppVersion\":\"2.0.1\",\"GVersion\":\"v156\","
            "\"Dchannel\":\"1\",\"Serverip\":\"127.0.0.1\",\"Httpresult\":\"206\",\"Totaltime\":\"30\","
            "\"Intime\":\"30\",\"Totalbytes\":\"100\",\"Intotalbytes\":\"100\",\"Averagespeed\":\"10\","
            "\"Progress\":\"12.50\",\"Httptotalbytes\":\"60\",\"Inhttptotalbytes\":\"60\","
            "\"Httpaveragespeed\":\"5\",\"P2ptotalbytes\":\"40\",\"Inp2ptotalbytes\":\"40\","
            "\"P2paveragespeed\":\"5\",\"Corruptpakid\":\"0\",\"Filename\":\"a b.pak\","
            "\"Url\":\"http://127.0.0.1/a b.pak\",\"Errormsg\":\"\"}");
  EXPECT_EQ(lines[1]["fields"]["Intotalbytes"].asString(), "150");
  EXPECT_EQ(lines[1]["fields"]["Intime"].asString(), "15");
  EXPECT_EQ(lines[1]["fields"]["Inp2ptotalbytes"].asString(), "50");
  EXPECT_EQ(lines[2]["code"].asString(), "11500106");
  EXPECT_NE(lines[2]["info"].asString().find("\"Errormsg\":\"host \"x\" not found\"}"), std::string::npos);
  EXPECT_EQ(lines[3]["fields"]["Filename"].asString(), "\xE4\xB8\xAD.pak");
  EXPECT_NE(lines[3]["info"].asString().find("\"Errormsg\":\"C:\\bad piece\"}"), std::string::npos);
  EXPECT_EQ(lines[3]["fields"]["Totalbytes"].asString(), "0");

  // Twenty-one in one second: the last is refused.
  for (int i = 0; i < 21; ++i) ReportEvent("11010000", ("burst " + std::to_string(i)).c_str(), 0);
  lines = WaitForLines(dir / "events.jsonl", 4 + 21, 3000);
  EXPECT_EQ(lines.size(), 4u + 20u);
  EXPECT_EQ(lines.back()["fields"]["Errormsg"].asString(), "burst 19");

  // A message shows the machine id and does not wait for anybody.
  std::promise<std::string> shown;
  SetMessageBoxPresenter([&](void*, const std::string& text, const std::string&, uint32_t) { shown.set_value(text); });
  EXPECT_EQ(ShowMessageBoxAsync(nullptr, "disk full", "title", 0), 1);
  auto future = shown.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(future.get(), "disk full\n\xEF\xBC\x88" +
                              DeviceDetails::MachineIdText(DeviceDetails::System()->MachId()) + "\xEF\xBC\x89");
  SetMessageBoxPresenter(nullptr);

  // A batch that no server takes is dropped, not sent later.
  WriteConfig(ini, {"http://127.0.0.1:" + std::to_string(FreePort()) + "/closed"});
  ReportEvent("11010000", "lost", 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  WriteConfig(ini, {collector.Url()});
  ReportEvent("11010000", "kept", 0);
  lines = WaitForLines(dir / "events.jsonl", 25, 3000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  lines = ReadLines(dir / "events.jsonl");
  ASSERT_EQ(lines.size(), 25u);
  EXPECT_EQ(lines.back()["fields"]["Errormsg"].asString(), "kept");

  StopDataUpload();
  ReportEvent("11010000", "after the stop", 0);  // dropped, no crash
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pf
