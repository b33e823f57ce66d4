// The half-open limit probe over crafted driver files, and the IP range
// filter.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "engine/net/CIPFilter.h"
#include "engine/net/HalfOpenProbe.h"
#include "support/TempFolder.h"

namespace pf {
namespace {

class NetworkProbesTest : public testing::TempFolderTest {
 protected:
  NetworkProbesTest() : TempFolderTest("pf-probes") {}

  static void Put32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  }
  // A driver file of `size` bytes with a fixed version block for a.b.c.d
  // and, at `markerAt` (0: none), the limit marker with `limit` behind it.
  std::string Driver(size_t size, uint32_t a, uint32_t b, uint32_t c, uint32_t d, size_t markerAt, uint32_t limit,
                     bool confirmed = true) {
    std::string bytes(size, '\x11');
    Put32(bytes, 400, 0xFEEF04BDu);
    Put32(bytes, 404, 0x00010000u);
    Put32(bytes, 408, a << 16 | b);
    Put32(bytes, 412, c << 16 | d);
    if (markerAt > 0) {
      std::string marker;
      for (char ch : std::string("\\Device\\RasAcd")) marker += std::string{ch, '\0'};
      marker += std::string(2, '\0') + std::string(6, '\xCC') + std::string(4, '\x90');
      bytes.replace(markerAt, marker.size(), marker);
      const size_t p = markerAt + 128;
      bytes[p - 1] = 0;
      Put32(bytes, p, limit);
      bytes[p + 4] = confirmed ? '\xB8' : '\x00';
    }
    const std::string path = Path("tcpip.sys");
    Put("tcpip.sys", bytes);
    return path;
  }
};

TEST_F(NetworkProbesTest, VersionsWithAndWithoutTheLimit) {
  struct Case {
    uint32_t major, minor, build, revision;
    bool limited;
  };
  const Case cases[] = {{5, 1, 2600, 2180, true}, {5, 1, 2600, 2179, false}, {5, 2, 3790, 0, false},
                        {5, 2, 3790, 1, true},    {5, 0, 9999, 9999, false}, {6, 0, 6000, 16386, true},
                        {4, 9, 9999, 9999, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + "." + std::to_string(c.build) + "." +
                 std::to_string(c.revision));
    const DriverVersion read = ReadDriverVersion(Driver(40000, c.major, c.minor, c.build, c.revision, 0, 0));
    EXPECT_EQ(read.major, c.major);
    EXPECT_EQ(read.minor, c.minor);
    EXPECT_EQ(read.build, c.build);
    EXPECT_EQ(read.revision, c.revision);
    EXPECT_EQ(HasConnectionLimit(read), c.limited);
  }
  const DriverVersion none = ReadDriverVersion(Path("missing.sys"));
  EXPECT_EQ(none.major, 0u);
  EXPECT_FALSE(HasConnectionLimit(none));
}

TEST_F(NetworkProbesTest, TheLimitIsReadFromTheDriverOrFoldsIntoTheDefault) {
  struct Case {
    const char* name;
    size_t size;
    size_t markerAt;
    uint32_t limit;
    bool confirmed;
    int32_t expected;
  };
  const Case cases[] = {
      {"limit 10", 40000, 5000, 10, true, 10},
      {"limit 50", 40000, 5000, 50, true, 50},
      {"value not confirmed", 40000, 5000, 10, false, kLimitNotConfirmed},
      {"no marker", 40000, 0, 0, true, kLimitMarkerNotFound},
      {"marker in the last kilobyte", 40000, 39200, 10, true, kLimitMarkerNotFound},
      {"too small", 30000, 5000, 10, true, kDriverSizeOutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DriverVersion version = ReadDriverVersion(Driver(c.size, 5, 1, 2600, 2180, c.markerAt, c.limit, c.confirmed));
    EXPECT_EQ(ReadHalfOpenLimit(version), c.expected);
  }
  EXPECT_EQ(ReadHalfOpenLimit(ReadDriverVersion(Driver(40000, 5, 1, 2600, 2179, 5000, 10))), kNoHalfOpenLimit);
  DriverVersion gone = ReadDriverVersion(Driver(40000, 6, 0, 0, 0, 5000, 10));
  gone.path = Path("missing.sys");
  EXPECT_EQ(ReadHalfOpenLimit(gone), kDriverNotOpened);

  EXPECT_EQ(ConnectAttemptLimitFor(10), 8);
  EXPECT_EQ(ConnectAttemptLimitFor(50), 32);
  for (const int32_t failure : {int32_t{2}, int32_t{kNoHalfOpenLimit}, int32_t{kDriverNotOpened}, int32_t{kLimitNotConfirmed}})
    EXPECT_EQ(ConnectAttemptLimitFor(failure), 32) << failure;
}

TEST_F(NetworkProbesTest, FilterRangesFromTheFile) {
  auto ip = [](const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
  };
  CIPFilter filter;
  EXPECT_FALSE(filter.IsBlocked(ip("10.0.0.5"))) << "an empty filter blocks nothing";
  EXPECT_EQ(filter.Load(Path("missing.txt")), -1);

  Put("filter.txt",
      "# comment 1.1.1.1-1.1.1.9 0\n"
      "\t 10.0.0.1-10.0.0.9 100\r\n"
      "20.0.0.1-20.0.0.9 127\n"          // at the level limit: ignored
      "30.0.0.9-30.0.0.1 0\n"            // last below first: ignored
      "10.0.0.2-10.0.0.3 0\n"            // inside the first: no entry
      "40.0.0.1 - 40.0.0.9 0\n"          // a blank before the '-'
      "50.0.0.1-50.0.1.300 0\n"          // 300 is 44 modulo 256
      "x60.0.0.1-60.0.0.9 0\n"
      "192.168.1.0-192.168.1.255 5\n"
      "192.168.0.200-192.168.1.10 5\n"); // overlaps the one before: merged
  EXPECT_EQ(filter.Load(Path("filter.txt")), 3);
  struct Probe {
    const char* address;
    bool blocked;
  };
  const Probe probes[] = {{"10.0.0.1", true},     {"10.0.0.5", true},      {"10.0.0.10", false},
                          {"20.0.0.5", false},    {"30.0.0.5", false},     {"40.0.0.5", false},
                          {"50.0.1.44", true},    {"50.0.1.45", false},    {"60.0.0.5", false},
                          {"192.168.0.200", true}, {"192.168.1.255", true}, {"192.168.0.199", false}};
  for (const Probe& p : probes) EXPECT_EQ(filter.IsBlocked(ip(p.address)), p.blocked) << p.address;
}

}  // namespace
}  // namespace pf
