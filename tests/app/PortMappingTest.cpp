// The listen port's choice, the private-address rule and the gateway's
// description: the pure parts of the port mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/GatewayInfo.h"
#include "app/ListenPortChoice.h"
#include "app/PortMapping.h"

namespace pf {
namespace {

// The ports tried, in order, when the ports of `busy` are in use.
struct Trial {
  int chosen;
  std::vector<int> tried;
};
Trial Select(uint32_t randomValue, const std::set<int>& busy) {
  Trial t;
  t.chosen = SelectListenPort(randomValue, [&](int port) {
    t.tried.push_back(port);
    return busy.count(port) > 0;
  });
  return t;
}

TEST(ListenPortChoiceTest, CandidatesStartPastTheRandomPortAndSkipExcludedOnes) {
  const struct {
    uint32_t random;
    std::set<int> busy;
    std::vector<int> tried;
  } cases[] = {
      {411, {}, {40413}},                    // 40411 + 1 is excluded
      {10411, {}, {40413}},                  // only the value modulo 10000 counts
      {420, {}, {40424}},                    // past 40421-40423
      {0, {}, {40001}},                      // moved on at least once
      {9999, {}, {50000}},                   // the highest port can be the first
      {9999, {50000}, {50000, 40000}},       // past 50000 back to 40000
      {409, {40410, 40411}, {40410, 40411, 40413}},
      {4260, {44261, 44262}, {44261, 44262, 44263}},
      {4442, {44443}, {44443, 44445}},       // 44444 skipped in the loop too
  };
  for (const auto& c : cases) {
    const Trial t = Select(c.random, c.busy);
    EXPECT_EQ(t.tried, c.tried) << c.random;
    EXPECT_EQ(t.chosen, c.tried.back()) << c.random;
  }
}

TEST(ListenPortChoiceTest, EveryPortBusyTriesEachAllowedPortOnceAndGivesNone) {
  const Trial t = Select(4567, [] {
    std::set<int> all;
    for (int p = 0; p <= 65535; ++p) all.insert(p);
    return all;
  }());
  EXPECT_EQ(t.chosen, 0);
  const std::set<int> distinct(t.tried.begin(), t.tried.end());
  EXPECT_EQ(distinct.size(), t.tried.size());
  EXPECT_EQ(t.tried.size(), size_t(kHighestListenPort - kLowestListenPort + 1 - kExcludedListenPorts.size()));
  EXPECT_EQ(t.tried.front(), 44568);
  EXPECT_EQ(t.tried.back(), 44567);
  for (int excluded : kExcludedListenPorts) EXPECT_EQ(distinct.count(excluded), 0u) << excluded;
  EXPECT_EQ(*distinct.begin(), kLowestListenPort);
  EXPECT_EQ(*distinct.rbegin(), kHighestListenPort);
}

TEST(PortMappingTest, PrivateAndLocalAddressesNeedTheGateway) {
  const struct {
    const char* address;
    bool needs;
  } cases[] = {
      {"192.168.1.7", true},    {"192.169.1.1", false},  {"172.31.255.1", true}, {"172.16.0.1", true},
      {"172.15.255.255", false}, {"172.32.0.1", false},  {"10.77.0.2", true},    {"127.0.1.1", true},
      {"169.254.3.4", true},    {"169.253.3.4", false},  {"5.1.2.3", true},      {"0.0.0.0", true},
      {"6.255.255.255", true},  {"7.0.0.1", false},      {"11.1.1.1", false},    {"100.64.0.1", false},
      {"", false},              {"300.1.1.1", false},    {"10.1.1", false},      {"::1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(NeedsPortMapping(c.address), c.needs) << c.address;
}

// Without a free port nothing is started and the engine gets 0.
TEST(PortMappingTest, NoFreePortIsReportedAndGivesNoPort) {
  std::vector<std::string> lines, events;
  PortMapping mapping({[&](const std::string& line) { lines.push_back(line); },
                       [&](const char* code, const std::string& message) {
                         events.push_back(std::string(code) + "|" + message);
                       }},
                      [](std::function<void()> work) { work(); });
  EXPECT_EQ(mapping.Start([] { return 0; }), 0);
  EXPECT_EQ(events, std::vector<std::string>{"11500105|没有可用的端口，uPnP失败"});
  EXPECT_EQ(lines, std::vector<std::string>{"没有可用的端口，uPnP失败"});
  EXPECT_FALSE(mapping.MappingStarted());
}

TEST(PortMappingTest, TheGatewayDescriptionGivesTheRootDevicesTexts) {
  constexpr char kDescription[] =
      "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
      "<specVersion><major>1</major><minor>1</minor></specVersion>"
      "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
      "<friendlyName>Home router</friendlyName><manufacturer>Maker</manufacturer>"
      "<modelDescription>A gateway</modelDescription><modelName>Router 9</modelName><modelNumber>9</modelNumber>"
      "<deviceList><device><modelName>WAN part</modelName></device></deviceList></device></root>";
  GatewayInfo info;
  ASSERT_TRUE(ParseGatewayDescription(kDescription, &info));
  EXPECT_EQ(info.modelName, "Router 9");  // the root device's, not an embedded one's
  EXPECT_EQ(info.friendlyName, "Home router");
  EXPECT_EQ(info.manufacturer, "Maker");
  EXPECT_EQ(info.modelDescription, "A gateway");

  GatewayInfo untouched;
  untouched.modelName = "kept";
  for (const char* bad : {"", "not xml", "<root><specVersion/></root>", "<root><device><modelName>x</root>"}) {
    EXPECT_FALSE(ParseGatewayDescription(bad, &untouched)) << bad;
    EXPECT_EQ(untouched.modelName, "kept") << bad;
  }
  GatewayInfo nameless;
  ASSERT_TRUE(ParseGatewayDescription("<root><device><friendlyName>f</friendlyName></device></root>", &nameless));
  EXPECT_EQ(nameless.modelName, "");
}

}  // namespace
}  // namespace pf
