#include "engine/net/HostResolver.h"

#include <gtest/gtest.h>

#include "support/Ipv4.h"
#include "support/ScopedProcessState.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostLookup.h"

namespace pf {
namespace {

using testing::Ip;

std::atomic<int> lookups{0};
std::atomic<int> lateFinished{0};
std::mutex reportsMutex;
std::vector<std::string> reports;

// "slow.test" answers after the resolver has stopped waiting; "ok.test"
// resolves; everything else does not exist.
platform::HostLookupResult ScriptedLookup(const std::string& host) {
  ++lookups;
  platform::HostLookupResult r;
  if (host == "slow.test") {
    std::this_thread::sleep_for(std::chrono::milliseconds(3600));
    r.addresses = {Ip(127, 0, 0, 9)};
    ++lateFinished;
  } else if (host == "ok.test") {
    r.addresses = {Ip(127, 0, 0, 3), 0, Ip(127, 0, 0, 4)};
  } else if (host == "nodata.test") {
    r.error = platform::kHostNoData;
  } else {
    r.error = platform::kHostNotFound;
  }
  return r;
}

void RecordReport(const char* code, const char* message) {
  std::lock_guard<std::mutex> lock(reportsMutex);
  reports.push_back(std::string(code) + "|" + message);
}

class HostResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetHostLookup(&ScriptedLookup);
    SetResolverReport(&RecordReport);
    // A success re-arms the one-time report.
    std::vector<uint32_t> ignored;
    ResolveHost("ok.test", &ignored);
    ClearNonexistentHosts();
    lookups = 0;
    std::lock_guard<std::mutex> lock(reportsMutex);
    reports.clear();
  }
  void TearDown() override { ClearNonexistentHosts(); }
  testing::ScopedProcessState processState;
  static size_t ReportCount() {
    std::lock_guard<std::mutex> lock(reportsMutex);
    return reports.size();
  }
};

TEST_F(HostResolverTest, ALateAnswerIsDiscardedAndTheCallerWaitsAtMostThreeSeconds) {
  std::vector<uint32_t> addresses;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ResolveHost("slow.test", &addresses), -1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::milliseconds(3500));
  EXPECT_TRUE(addresses.empty());
  // A time-out is not proof that the name does not exist.
  EXPECT_FALSE(IsNonexistentHost("slow.test"));
  ASSERT_EQ(ReportCount(), 1u);
  EXPECT_EQ(reports[0].rfind("11500106|ErrCode : (10060) Host : (slow.test) ", 0), 0u) << reports[0];

  // The answer arrives later and lands nowhere; lookups meanwhile go on normally.
  EXPECT_EQ(ResolveHost("ok.test", &addresses), 2);
  for (int i = 0; i < 100 && lateFinished == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(lateFinished, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(addresses, (std::vector<uint32_t>{Ip(127, 0, 0, 3), Ip(127, 0, 0, 4)}));
}

TEST_F(HostResolverTest, NonexistentNamesAreLookedUpOnceUntilTheListIsEmptied) {
  std::vector<uint32_t> addresses;
  EXPECT_EQ(ResolveHost("gone.test", &addresses), -1);
  EXPECT_EQ(ResolveHost("nodata.test", &addresses), -1);
  EXPECT_TRUE(IsNonexistentHost("gone.test"));
  EXPECT_TRUE(IsNonexistentHost("nodata.test"));
  EXPECT_EQ(lookups, 2);

  EXPECT_EQ(ResolveOne("gone.test"), kNoAddress);
  EXPECT_EQ(ResolveOne("gone.test"), kNoAddress);
  EXPECT_EQ(lookups, 2);

  ClearNonexistentHosts();
  EXPECT_EQ(ResolveOne("gone.test"), kNoAddress);
  EXPECT_EQ(lookups, 3);
  EXPECT_TRUE(IsNonexistentHost("gone.test"));  // put back by the new answer
  EXPECT_EQ(ResolveOne("ok.test"), Ip(127, 0, 0, 3));
  // Addresses need no lookup at all.
  EXPECT_EQ(ResolveOne("127.0.0.1"), Ip(127, 0, 0, 1));
  EXPECT_EQ(ResolveOne("0x7f000001"), Ip(127, 0, 0, 1));
  EXPECT_EQ(lookups, 4);
}

TEST_F(HostResolverTest, TheDiagnosticIsSentOnceUntilALookupSucceeds) {
  std::vector<uint32_t> addresses;
  ResolveHost("a.test", &addresses);
  ResolveHost("b.test", &addresses);
  ASSERT_EQ(ReportCount(), 1u);
  const std::string& first = reports[0];
  EXPECT_EQ(first.rfind("11500106|ErrCode : (11001) Host : (a.test) ", 0), 0u) << first;
  const std::vector<std::string> dns = platform::DnsServers();
  if (dns.empty()) {
    EXPECT_NE(first.find(", no DNS"), std::string::npos) << first;
  } else {
    EXPECT_NE(first.find(", DNS : (" + dns[0] + ")"), std::string::npos) << first;
  }

  EXPECT_EQ(ResolveHost("ok.test", &addresses), 2);
  ResolveHost("c.test", &addresses);
  ASSERT_EQ(ReportCount(), 2u);
  EXPECT_NE(reports[1].find("Host : (c.test)"), std::string::npos);
}

TEST(HostAddressTest, DottedAndNodeAddresses) {
  struct Case {
    const char* text;
    uint32_t dotted;  // ParseDottedAddress
    uint32_t inet;    // ParseInetAddress
  };
  const Case cases[] = {
      {"10.0.0.5", Ip(10, 0, 0, 5), Ip(10, 0, 0, 5)},
      {"0x7f.0.0.1", Ip(127, 0, 0, 1), Ip(127, 0, 0, 1)},
      {"127.1", Ip(127, 1, 0, 0), Ip(127, 0, 0, 1)},
      {"010.0.0.1", Ip(10, 0, 0, 1), Ip(8, 0, 0, 1)},
      {"256.1.1.1", Ip(0, 1, 1, 1), kNoAddress},
      {"1.2.3.4.5", Ip(1, 2, 3, 4), kNoAddress},
      {"1..2", Ip(1, 0, 2, 0), kNoAddress},
      {"", 0, kNoAddress},
      {"0x", 0, kNoAddress},
      {"09.1.1.1", Ip(9, 1, 1, 1), kNoAddress},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDottedAddress(c.text), c.dotted) << c.text;
    EXPECT_EQ(ParseInetAddress(c.text), c.inet) << c.text;
  }

  std::vector<uint32_t> addresses;
  EXPECT_EQ(ResolveHost("", &addresses), 0);
  EXPECT_EQ(ResolveHost("0.0.0.0", &addresses), 0);
  EXPECT_EQ(ResolveHost("255.255.255.255", &addresses), 0);
  EXPECT_EQ(ResolveHost("127.0.0.2", &addresses), 1);
  EXPECT_EQ(addresses, std::vector<uint32_t>{Ip(127, 0, 0, 2)});

  int port = -1;
  EXPECT_EQ(ParseNodeAddress("NODE://127.0.0.1:6881", &port), Ip(127, 0, 0, 1));
  EXPECT_EQ(port, 6881);
  EXPECT_EQ(ParseNodeAddress("node://127.0.0.2", &port), Ip(127, 0, 0, 2));
  EXPECT_EQ(port, 80);
  EXPECT_EQ(ParseNodeAddress("node://:80", &port), 0u);
  EXPECT_EQ(ParseNodeAddress("http://127.0.0.1", &port), 0u);
  EXPECT_EQ(ParseNodeAddress("node:/", &port), 0u);
}

}  // namespace
}  // namespace pf
