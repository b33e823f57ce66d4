// The listen port's mapping against a real UPnP gateway: miniupnpd (nftables)
// in network namespaces made for the test.
//
//   lan [eth0 10.77.0.2] --- [lan0 10.77.0.1] gw [wan0 11.1.1.1] --- [eth0 11.1.1.2] wan
//
// The WAN side uses 11.1.1.0/24 because miniupnpd refuses to forward behind
// a private or reserved address; it exists only inside these namespaces.
// The port mapping runs on a thread that entered a namespace, and that
// thread stands for the window: it runs the notifications posted to it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/ListenPortChoice.h"
#include "app/PortMapping.h"
#include "support/LoopbackServers.h"
#include "support/NetworkNamespace.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

// The table and chains miniupnpd adds its rules to; it does not make them.
constexpr char kGatewayRules[] = R"(table inet filter {
  chain forward {
    type filter hook forward priority 0; policy drop;
    ct state established,related accept
    iifname "lan0" oifname "wan0" accept
    jump miniupnpd
  }
  chain miniupnpd { }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
    oifname "wan0" masquerade
  }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
)";

// `permissions`: the gateway's allow/deny lines.
std::string GatewayConfig(const std::string& permissions) {
  return "ext_ifname=wan0\nlistening_ip=lan0\nhttp_port=5000\nenable_upnp=yes\nenable_natpmp=no\n"
         "secure_mode=yes\nsystem_uptime=yes\nipv6_disable=yes\nmodel_name=Test Gateway 7\n"
         "uuid=3f3a7d1c-1d2b-4c5e-9a6b-112233445566\n" +
         permissions;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    ::pclose(pipe);
  }
  return text;
}

sockaddr_in Ipv4(const char* address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// The three namespaces and the gateway program, all removed at the end.
class GatewayNetwork {
 public:
  explicit GatewayNetwork(const fs::path& dir) : dir_(dir) {
    const std::string tag = "pfu" + std::to_string(::getpid());
    lan = tag + "-lan", gw = tag + "-gw", wan = tag + "-wan";
  }
  ~GatewayNetwork() {
    StopGateway();
    for (const std::string* n : {&lan, &gw, &wan}) Shell("ip netns del " + *n);
  }
  bool Create() {
    const std::string script =
        "set -e; for n in " + gw + " " + lan + " " + wan + "; do ip netns add $n; ip -n $n link set lo up; done\n"
        "ip link add lan0 netns " + gw + " type veth peer name eth0 netns " + lan + "\n"
        "ip link add wan0 netns " + gw + " type veth peer name eth0 netns " + wan + "\n"
        "ip -n " + gw + " addr add 10.77.0.1/24 dev lan0; ip -n " + gw + " link set lan0 up\n"
        "ip -n " + gw + " addr add 11.1.1.1/24 dev wan0; ip -n " + gw + " link set wan0 up\n"
        "ip -n " + lan + " addr add 10.77.0.2/24 dev eth0; ip -n " + lan + " link set eth0 up\n"
        "ip -n " + lan + " route add default via 10.77.0.1\n"
        "ip -n " + wan + " addr add 11.1.1.2/24 dev eth0; ip -n " + wan + " link set eth0 up\n"
        "ip netns exec " + gw + " sysctl -qw net.ipv4.ip_forward=1\n"
        "ip netns exec " + gw + " nft -f " + (dir_ / "gw.nft").string() + "\n";
    WriteFile(dir_ / "gw.nft", kGatewayRules);
    WriteFile(dir_ / "up.sh", script);
    return std::system(("sh " + (dir_ / "up.sh").string() + " >" + (dir_ / "up.log").string() + " 2>&1").c_str()) == 0;
  }
  // Starts miniupnpd with `permissions`; true once it answers on the LAN side.
  bool StartGateway(const std::string& permissions) {
    StopGateway();
    WriteFile(dir_ / "miniupnpd.conf", GatewayConfig(permissions));
    gateway_ = StartProcess({"ip", "netns", "exec", gw, "miniupnpd", "-f", (dir_ / "miniupnpd.conf").string(), "-d",
                             "-P", (dir_ / "miniupnpd.pid").string()},
                            (dir_ / "miniupnpd.log").string());
    bool answers = false;
    RunInNamedNetworkNamespace(lan, [&] { answers = WaitForPort(5000, 5000, "10.77.0.1"); });
    return answers;
  }
  // miniupnpd takes about a second to remove its rules.
  void StopGateway() {
    StopProcess(gateway_);
    gateway_ = -1;
  }
  std::string GatewayLog() const { return ReadFile(dir_ / "miniupnpd.log"); }
  std::string SetUpLog() const { return ReadFile(dir_ / "up.log"); }

  std::string lan, gw, wan;

 private:
  const fs::path dir_;
  pid_t gateway_ = -1;
};

// What a start of the port mapping gave: the port, the log lines and the
// events, and whether all of them came on the window's thread.
struct Outcome {
  int port = 0;
  std::vector<std::string> lines;
  std::vector<std::string> events;  // "code|message"
  bool allOnWindowThread = true;
};

// Starts the port mapping on a thread in `ns` that stands for the window,
// runs what is posted to it until an event is reported (every outcome ends
// with one), then stops the mapping.
Outcome MapFrom(const std::string& ns) {
  Outcome outcome;
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<std::function<void()>> queue;  // guarded by mutex
  const bool entered = RunInNamedNetworkNamespace(ns, [&] {
    const std::thread::id window = std::this_thread::get_id();
    const auto note = [&](std::vector<std::string>& into, std::string text) {
      std::lock_guard<std::mutex> lock(mutex);
      into.push_back(std::move(text));
      if (std::this_thread::get_id() != window) outcome.allOnWindowThread = false;
      posted.notify_all();
    };
    PortMappingOutlet outlet{[&](const std::string& line) { note(outcome.lines, line); },
                             [&](const char* code, const std::string& message) {
                               note(outcome.events, std::string(code) + "|" + message);
                             }};
    PortMapping mapping(outlet, [&](std::function<void()> work) {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(std::move(work));
      posted.notify_all();
    });
    outcome.port = mapping.Start(ChooseFreeListenPort);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::unique_lock<std::mutex> lock(mutex);
    while (outcome.events.empty() && std::chrono::steady_clock::now() < deadline) {
      if (queue.empty()) {
        posted.wait_until(lock, deadline);
        continue;
      }
      std::function<void()> work = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
    lock.unlock();
    mapping.Stop();
  });
  EXPECT_TRUE(entered) << ns;
  return outcome;
}

// A client on the WAN side connects to the gateway's port; what the LAN
// listener on `port` sent it ("" when it could not connect).
std::string ReachThroughGateway(const GatewayNetwork& net, int port) {
  std::string greeting;
  RunInNamedNetworkNamespace(net.lan, [&] {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in any = Ipv4("0.0.0.0", port);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 || ::listen(listener, 1) != 0) {
      ::close(listener);
      return;
    }
    std::thread server([listener] {
      const int peer = ::accept(listener, nullptr, nullptr);
      if (peer >= 0) {
        ::send(peer, "through", 7, MSG_NOSIGNAL);
        ::close(peer);
      }
    });
    RunInNamedNetworkNamespace(net.wan, [&] {
      const int client = ::socket(AF_INET, SOCK_STREAM, 0);
      const sockaddr_in gateway = Ipv4("11.1.1.1", port);
      if (::connect(client, reinterpret_cast<const sockaddr*>(&gateway), sizeof gateway) == 0) {
        char buffer[16] = {};
        const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_WAITALL);
        if (n > 0) greeting.assign(buffer, static_cast<size_t>(n));
      }
      ::close(client);
    });
    ::shutdown(listener, SHUT_RDWR);  // ends an accept that got nothing
    server.join();
    ::close(listener);
  });
  return greeting;
}

class PortMappingGateway : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    for (const char* program : {"ip", "nft", "miniupnpd", "upnpc"})
      if (!ProgramExists(program)) GTEST_SKIP() << program << " is missing (scripts/setup installs it)";
    dir = fs::temp_directory_path() / ("pf-upnp-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    net = std::make_unique<GatewayNetwork>(dir);
    if (!net->Create()) GTEST_SKIP() << "network namespaces are not available here: " << net->SetUpLog();
  }
  void TearDown() override {
    net.reset();
    if (!HasFailure()) fs::remove_all(dir);
  }

  fs::path dir;
  std::unique_ptr<GatewayNetwork> net;
};

TEST_F(PortMappingGateway, EveryOutcomeIsLoggedAndReportedAndAMappedPortIsReachable) {
  // A public address needs no gateway: the port, and no thread is started.
  {
    const Outcome o = MapFrom(net->wan);
    EXPECT_GE(o.port, kLowestListenPort);
    EXPECT_LE(o.port, kHighestListenPort);
    EXPECT_EQ(o.events, std::vector<std::string>{"11390001|无需uPnP：本机直通外网11.1.1.2"});
    EXPECT_EQ(o.lines, std::vector<std::string>{"无需uPnP：本机直通外网11.1.1.2"});
  }
  // Behind a private address with no gateway: the search ends empty, which
  // releases the mapping at once, and the mapping fails for want of one.
  {
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = MapFrom(net->lan);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(o.port, 0);
    EXPECT_EQ(o.events, std::vector<std::string>{"11500105|uPnP失败，因为没有IGD设备信息"});
    EXPECT_EQ(o.lines, (std::vector<std::string>{"IGD设备信息线程已创建", "uPnP线程已创建",
                                                 "uPnP失败，因为没有IGD设备信息"}));
    EXPECT_TRUE(o.allOnWindowThread);
  }
  // A gateway that denies every mapping: found, yet the mapping fails.
  ASSERT_TRUE(net->StartGateway("deny 0-65535 0.0.0.0/0 0-65535\n")) << net->GatewayLog();
  {
    const Outcome o = MapFrom(net->lan);
    EXPECT_EQ(o.events, std::vector<std::string>{"11500105|IGD设备已找到，但是uPnP依然失败"});
    EXPECT_EQ(o.lines, (std::vector<std::string>{"IGD设备信息线程已创建", "uPnP线程已创建",
                                                 "NAT Device found : Name : <Test Gateway 7>",
                                                 "IGD设备已找到，但是uPnP依然失败"}))
        << net->GatewayLog();
    EXPECT_TRUE(o.allOnWindowThread);
  }
  // A gateway that lets the LAN map its ports.
  ASSERT_TRUE(net->StartGateway("allow 1024-65535 10.77.0.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n"))
      << net->GatewayLog();
  const Outcome o = MapFrom(net->lan);
  EXPECT_EQ(o.events, std::vector<std::string>{"11390000|"}) << net->GatewayLog();
  EXPECT_EQ(o.lines, (std::vector<std::string>{"IGD设备信息线程已创建", "uPnP线程已创建",
                                               "NAT Device found : Name : <Test Gateway 7>", "uPnP成功"}));
  EXPECT_TRUE(o.allOnWindowThread);
  ASSERT_GE(o.port, kLowestListenPort);
  ASSERT_LE(o.port, kHighestListenPort);

  // The gateway lists it as asked: same port outside and inside, TCP, to
  // this computer, with the program's description.
  const std::string listed =
      Output("ip netns exec " + net->lan + " upnpc -u http://10.77.0.1:5000/rootDesc.xml -l 2>&1");
  const std::string port = std::to_string(o.port);
  EXPECT_NE(listed.find("TCP " + port + "->10.77.0.2:" + port + " 'Pelicanfetch uPnP for P2SP upload/download'"),
            std::string::npos)
      << listed;
  // And a client on the WAN side reaches a listener on that port through it.
  EXPECT_EQ(ReachThroughGateway(*net, o.port), "through");
}

}  // namespace
}  // namespace pf
