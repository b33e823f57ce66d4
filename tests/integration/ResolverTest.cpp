// Name resolution with the system resolver. Everything that could reach a
// DNS server runs in a network namespace of its own whose resolver asks a
// small local DNS server: it answers "no such name", except for names
// starting "slow-", which get 127.0.0.9 after four seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/net/HostResolver.h"
#include "engine/net/TPeerId.h"
#include "support/LoopbackServers.h"
#include "support/NetworkNamespace.h"
#include "support/ScopedProcessState.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr char kInsideVariable[] = "PF_RESOLVER_NETNS_DIR";

constexpr char kDnsServer[] = R"PY(
import socket, sys, threading, time
log = open(sys.argv[1], 'a', buffering=1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 53))
log.write('ready\n')
def answer(q, addr):
    i, labels = 12, []
    while i < len(q) and q[i] != 0:
        labels.append(q[i + 1:i + 1 + q[i]].decode('ascii', 'replace')); i += 1 + q[i]
    name, end = '.'.join(labels).lower(), i + 5
    log.write(name + '\n')
    if name.startswith('slow-'):
        time.sleep(4)
        r = q[:2] + b'\x81\x80' + q[4:6] + b'\x00\x01\x00\x00\x00\x00' + q[12:end] + \
            b'\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x09'
    else:
        r = q[:2] + b'\x81\x83' + q[4:6] + b'\x00\x00\x00\x00\x00\x00' + q[12:end]
    s.sendto(r, addr)
while True:
    q, addr = s.recvfrom(512)
    threading.Thread(target=answer, args=(q, addr), daemon=True).start()
)PY";

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

std::mutex reportsMutex;
std::vector<std::string> reports;
void RecordReport(const char* code, const char* message) {
  std::lock_guard<std::mutex> lock(reportsMutex);
  reports.push_back(std::string(code) + "|" + message);
}

// Adds a line to /etc/hosts and puts the file back byte for byte afterwards.
class HostsEntry {
 public:
  explicit HostsEntry(const std::string& line) : original_(ReadFile("/etc/hosts")) {
    std::string text = original_;
    if (!text.empty() && text.back() != '\n') text += '\n';
    WriteFile("/etc/hosts", text + line + "\n");
  }
  ~HostsEntry() { Restore(); }
  void Restore() {
    if (restored_) return;
    WriteFile("/etc/hosts", original_);
    restored_ = true;
  }

 private:
  std::string original_;
  bool restored_ = false;
};

int CountLines(const fs::path& log, const std::string& name) {
  const std::string text = ReadFile(log);
  int n = 0;
  for (size_t at = text.find(name + "\n"); at != std::string::npos; at = text.find(name + "\n", at + 1))
    if (at == 0 || text[at - 1] == '\n') ++n;
  return n;
}

TEST(RealResolverTest, LocalNamesHostsEntriesInvalidAndLateAnswers) {
  const char* inside = std::getenv(kInsideVariable);
  if (!inside) {
    const fs::path dir = fs::temp_directory_path() / ("pf-resolver-" + std::to_string(::getpid()));
    if (!ProgramExists("unshare") || !ProgramExists("/usr/bin/python3") || ::geteuid() != 0)
      GTEST_SKIP() << "needs root, unshare and /usr/bin/python3";
    const std::string hostsBefore = ReadFile("/etc/hosts");
    const int status = RunInsideResolverNamespace(kInsideVariable, dir, "RealResolverTest.*");
    EXPECT_EQ(status, 0) << "the checks inside the namespace failed; see the output above";
    EXPECT_EQ(ReadFile("/etc/hosts"), hostsBefore);
    fs::remove_all(dir);
    return;
  }

  // Inside the namespace from here on; the variable names the test's folder.
  const fs::path dir = inside;
  ASSERT_EQ(ReadFile("/etc/resolv.conf"), "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n");
  WriteFile(dir / "dns.py", kDnsServer);
  const fs::path queries = dir / "queries.log";
  const pid_t dns = StartProcess({"/usr/bin/python3", (dir / "dns.py").string(), queries.string()},
                                 (dir / "dns.err").string());
  struct StopDns {
    pid_t pid;
    ~StopDns() { StopProcess(pid); }
  } stopDns{dns};
  for (int i = 0; i < 100 && CountLines(queries, "ready") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(CountLines(queries, "ready"), 1) << ReadFile(dir / "dns.err");
  testing::ScopedProcessState processState;
  SetResolverReport(&RecordReport);
  ClearNonexistentHosts();
  const std::string tag = std::to_string(::getppid());
  std::vector<uint32_t> addresses;

  // localhost comes from the hosts file.
  ASSERT_GE(ResolveHost("localhost", &addresses), 1);
  EXPECT_EQ(addresses.front(), Ip(127, 0, 0, 1));
  EXPECT_EQ(ResolveOne("localhost"), Ip(127, 0, 0, 1));

  // A hosts entry added for the test; once removed, the name does not exist.
  const std::string added = "pf-hosts-" + tag + ".test";
  {
    HostsEntry entry("127.0.0.77 " + added);
    TPeerId mirror("http://" + added + ":8080/pub/file.bin");
    ASSERT_TRUE(mirror.ParseSource());
    EXPECT_EQ(mirror.ip, Ip(127, 0, 0, 77));
    EXPECT_EQ(mirror.port, 8080);
  }
  TPeerId gone("http://" + added + "/pub/file.bin");
  EXPECT_FALSE(gone.ParseSource());
  EXPECT_EQ(gone.unresolvable, 1);
  EXPECT_TRUE(IsNonexistentHost(added));

  // The first failure is reported, naming the error, the host and the DNS server.
  {
    std::lock_guard<std::mutex> lock(reportsMutex);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "11500106|ErrCode : (11001) Host : (" + added + ") , DNS : (127.0.0.1)");
  }

  // A .invalid name: one query, then remembered until the list is emptied.
  const std::string invalid = "nothing-" + tag + ".invalid";
  EXPECT_EQ(ResolveHost(invalid, &addresses), -1);
  EXPECT_TRUE(IsNonexistentHost(invalid));
  EXPECT_EQ(ResolveOne(invalid), kNoAddress);
  EXPECT_EQ(ResolveOne(invalid), kNoAddress);
  EXPECT_EQ(CountLines(queries, invalid), 1);
  ClearNonexistentHosts();
  EXPECT_EQ(ResolveOne(invalid), kNoAddress);
  EXPECT_EQ(CountLines(queries, invalid), 2);
  {
    std::lock_guard<std::mutex> lock(reportsMutex);
    EXPECT_EQ(reports.size(), 1u);  // still the one report: nothing has succeeded since
  }

  // An answer after three seconds is too late; the name is not taken for missing.
  const std::string slow = "slow-" + tag + ".test";
  addresses.clear();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ResolveHost(slow, &addresses), -1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::milliseconds(3500));
  EXPECT_TRUE(addresses.empty());
  EXPECT_FALSE(IsNonexistentHost(slow));

  // A success re-arms the report.
  EXPECT_GE(ResolveHost("localhost", &addresses), 1);
  EXPECT_EQ(ResolveHost(invalid, &addresses), -1);
  {
    std::lock_guard<std::mutex> lock(reportsMutex);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("Host : (" + invalid + ")"), std::string::npos);
  }
  ClearNonexistentHosts();
}

}  // namespace
}  // namespace pf
