// The statistics component: keyword rules, the batch limit and the exact
// bytes of a batch post.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "support/FakeMachine.h"
#include "telemetry/CDataStatisticsImp.h"
#include "telemetry/EventBatch.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

const char* kBody = ",\"DVersion\":\"1.8\",\"GameID\":\"5\",\"AppVersion\":\"2.0\",\"GVersion\":\"v156\"";

class DataStatistics : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("pf-stat-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    ini = (dir / "dataupload.pfconf").string();
    WriteIni("[SubmitEventDownload]\r\nSubmitUrl=http://127.0.0.1:1/single\r\n"
             "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
             "SubmitDataKeyWord=MachId;Mac;OS\r\n"
             "[SubmitEventDownloadSeveral]\r\nSubmitUrl=http://a/\r\nSubmitUrl1=http://b/\r\n"
             "SubmitUrl2=\r\nSubmitUrl3=http://never-read/\r\n");
    component = std::make_unique<CDataStatisticsImp>(std::make_shared<DeviceDetails>(machine));
    component->SetPoster([this](const std::string& url, const std::string& body) {
      posts.emplace_back(url, body);
      return accepting.count(url) > 0;
    });
    component->SetConfigPath(ini.c_str());
    component->SubmitEventDownloadSeveral();  // the event count is process-wide
  }
  void TearDown() override { fs::remove_all(dir); }
  void WriteIni(const std::string& text) { std::ofstream(ini, std::ios::binary) << text; }

  std::shared_ptr<testing::FakeMachine> machine = std::make_shared<testing::FakeMachine>();
  fs::path dir;
  std::string ini;
  std::unique_ptr<CDataStatisticsImp> component;
  std::vector<std::pair<std::string, std::string>> posts;
  std::set<std::string> accepting{"http://a/"};
};

TEST_F(DataStatistics, BatchBodyIsExact) {
  machine->os = {"12", "", "x86_64"};
  ASSERT_EQ(component->AddEvent("11010000", kBody, 0), 1);
  ASSERT_EQ(component->AddEvent("11020000", ",\"DVersion\":\"1.8\",\"GameID\":\"5\",\"AppVersion\":\"2.0\",\"GVersion\":\"v156\",\"Filename\":\"a b\"", 0), 1);
  ASSERT_EQ(component->SubmitEventDownloadSeveral(), 1);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].first, "http://a/");

  const std::string session = component->SessionId();
  EXPECT_TRUE(std::regex_match(session, std::regex("[0-9A-F]{8}")));
  const std::string identity =
      "{\\\"Mac\\\":\\\"00-1a-2b-3c-4d-5e\\\",\\\"MachId\\\":\\\"221A3C804D804433\\\",\\\"OS\\\":\\\"12000642\\\","
      "\\\"Sequence\\\":SEQ,\\\"Sessionid\\\":\\\"" + session + "\\\"}\\n";
  auto withSeq = [&](const char* seq) { return std::regex_replace(identity, std::regex("SEQ"), seq); };
  const std::string json =
      "[{\"code\":\"11010000\",\"info\":\"{" + withSeq("0") +
      ",\\\"DVersion\\\":\\\"1.8\\\",\\\"GameID\\\":\\\"5\\\",\\\"AppVersion\\\":\\\"2.0\\\",\\\"GVersion\\\":\\\"v156\\\"}\"},"
      "{\"code\":\"11020000\",\"info\":\"{" + withSeq("1") +
      ",\\\"DVersion\\\":\\\"1.8\\\",\\\"GameID\\\":\\\"5\\\",\\\"AppVersion\\\":\\\"2.0\\\",\\\"GVersion\\\":\\\"v156\\\","
      "\\\"Filename\\\":\\\"a b\\\"}\"}]\n";
  EXPECT_EQ(posts[0].second, "data=" + PercentEncode(json));
  // The space of the file name travels as "_".
  EXPECT_NE(posts[0].second.find("%22a_b%5C%22"), std::string::npos);

  // Sequence numbers go on across batches.
  ASSERT_EQ(component->AddEvent("11030000", kBody, 0), 1);
  ASSERT_EQ(component->SubmitEventDownloadSeveral(), 1);
  EXPECT_NE(posts[1].second.find(PercentEncode("\\\"Sequence\\\":2,")), std::string::npos);
}

TEST_F(DataStatistics, EventTextsReachTheBodyUnescapedThenEncoded) {
  struct Case {
    const char* text;
    const char* encoded;  // how the text appears in the post
  } cases[] = {
      {"a b", "a_b"},
      {"say \"hi\"", "say_%5C%22hi%5C%22"},            // the event text's quote, escaped once by the array
      {"C:\\dir\\f", "C%3A%5C%5Cdir%5C%5Cf"},
      {"\xE4\xB8\xAD\xE6\x96\x87", "%E4%B8%AD%E6%96%87"},  // Chinese stays UTF-8
      {"x_y-z.7", "x%5Fy%2Dz%2E7"},
  };
  for (const auto& c : cases) {
    posts.clear();
    const std::string body = std::string(kBody) + ",\"Errormsg\":\"" + c.text + "\"";
    ASSERT_EQ(component->AddEvent("11500106", body.c_str(), 0), 1);
    ASSERT_EQ(component->SubmitEventDownloadSeveral(), 1);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(posts[0].second.find(std::string("Errormsg%5C%22%3A%5C%22") + c.encoded + "%5C%22%7D"),
              std::string::npos)
        << c.text << "\n" << posts[0].second;
  }
}

TEST(PercentEncoding, KeepsOnlyLettersAndDigits) {
  EXPECT_EQ(PercentEncode("aZ09 _-.~/\n\x01\xFF"), "aZ09_%5F%2D%2E%7E%2F%0A%01%FF");
  EXPECT_EQ(CompactJson(Json::Value(Json::objectValue)), "{}\n");
}

TEST_F(DataStatistics, TwentyEventsPerBatch) {
  for (int i = 0; i < 19; ++i) ASSERT_EQ(component->AddEvent("11010000", kBody, 0), 1);
  EXPECT_EQ(component->AddEvent(nullptr, kBody, 0), 0);  // counts as well
  EXPECT_EQ(component->AddEvent("11010000", kBody, 0), 18);
  ASSERT_EQ(component->SubmitEventDownloadSeveral(), 1);
  const std::string& body = posts.back().second;
  size_t events = 0;
  for (size_t at = 0; (at = body.find("%22code%22", at)) != std::string::npos; ++at) ++events;
  EXPECT_EQ(events, 19u);
  // A post opens the next window.
  EXPECT_EQ(component->AddEvent("11010000", kBody, 0), 1);
}

TEST_F(DataStatistics, KeywordRules) {
  // Every input keyword must be in the event's members.
  EXPECT_EQ(component->AddEvent("11010000", ",\"DVersion\":\"1.8\",\"GameID\":\"5\",\"GVersion\":\"v\"", 0), 11);
  EXPECT_EQ(component->SubmitEventDownloadSeveral(), 0);  // nothing was queued
  EXPECT_TRUE(posts.empty());

  // Empty items in a list rule nothing; a submit keyword that the identity
  // lacks abandons the batch.
  WriteIni("[SubmitEventDownload]\r\nInputDataKeyWord=;GameID;;\r\nSubmitDataKeyWord=MachId;;Nope\r\n"
           "[SubmitEventDownloadSeveral]\r\nSubmitUrl=http://a/\r\n");
  EXPECT_EQ(component->AddEvent("11010000", ",\"GameID\":\"5\"", 0), 1);
  EXPECT_EQ(component->SubmitEventDownloadSeveral(), 13);
  EXPECT_TRUE(posts.empty());

  // Without a configuration file nothing is queued or posted.
  fs::remove(ini);
  EXPECT_EQ(component->AddEvent("11010000", kBody, 0), 20);
  CDataStatisticsImp unconfigured(std::make_shared<DeviceDetails>(machine));
  unconfigured.SetConfigPath((dir / "missing.ini").string().c_str());
  EXPECT_EQ(unconfigured.AddEvent("11010000", kBody, 0), 20);
}

TEST_F(DataStatistics, ServersAreTriedInOrderAndAFailedBatchIsDropped) {
  accepting = {"http://b/"};
  ASSERT_EQ(component->AddEvent("11010000", kBody, 0), 1);
  EXPECT_EQ(component->SubmitEventDownloadSeveral(), 1);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].first, "http://a/");
  EXPECT_EQ(posts[1].first, "http://b/");  // the list ends at the first empty address

  accepting.clear();
  posts.clear();
  ASSERT_EQ(component->AddEvent("11010000", kBody, 0), 1);
  EXPECT_EQ(component->SubmitEventDownloadSeveral(), 0);
  EXPECT_EQ(posts.size(), 2u);
  EXPECT_EQ(component->SubmitEventDownloadSeveral(), 0);  // not kept for a retry
  EXPECT_EQ(posts.size(), 2u);
}

TEST_F(DataStatistics, DeviceDetailsOnRequest) {
  ASSERT_EQ(component->AddEvent("11010000", kBody, 1 | 2 | 4), 1);
  ASSERT_EQ(component->SubmitEventDownloadSeveral(), 1);
  const std::string& body = posts[0].second;
  for (const char* member : {"CPU", "Memory", "Memory_Total_Capacity", "Video_Card"})
    EXPECT_NE(body.find(PercentEncode(std::string("\\\"") + member + "\\\"")), std::string::npos) << member;
  EXPECT_NE(body.find("Test_CPU_%40_3%2E00GHz"), std::string::npos);
  posts.clear();
  ASSERT_EQ(component->AddEvent("11010000", kBody, 0), 1);
  ASSERT_EQ(component->SubmitEventDownloadSeveral(), 1);
  EXPECT_EQ(posts[0].second.find("CPU"), std::string::npos);
}

TEST(DataStatisticsFactory, AnswersOnlyItsInterfaceId) {
  std::unique_ptr<IDataStatisticsUser> out;
  EXPECT_EQ(CreateDataStatisticsUser("{00000000-3C46-43b5-BA5F-462064037E59}", &out), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CreateDataStatisticsUser("{91095a15-3c46-43B5-ba5f-462064037e59}", &out), 0);
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(CreateDataStatisticsUser(nullptr, &out), 0);
}

}  // namespace
}  // namespace pf
