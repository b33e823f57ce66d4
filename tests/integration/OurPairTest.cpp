// A seeder and a leecher of ours, given each other directly: among peers
// that misbehave (a peer that answers every request with wrong bytes next to
// the honest seeder; a flood of connections to the seeder that send garbage,
// handshakes for another torrent, oversized messages, wrong bitfields and
// impossible requests), where the download must still end with the original
// bytes and the seeder must live; and under rate limits on either side.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/BitTorrentPeers.h"
#include "support/LoopbackServers.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 262144;
constexpr size_t kFileSize = 4 * 1048576 + 777;
constexpr int kTimeoutMs = 60000;

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

uint32_t ReadBe32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

std::string Handshake(const std::string& infoHash, const std::string& peerId) {
  return std::string(1, '\x13') + "BitTorrent protocol" + std::string(8, '\0') + infoHash + peerId;
}

int Connect(const std::string& address, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A connection from `from` to `to`:`port`, or -1 when it is refused or not
// made within `timeoutMs`.
int ConnectFrom(const std::string& from, const std::string& to, int port, int timeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  ::inet_pton(AF_INET, to.c_str(), &remote.sin_addr);
  remote.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    pollfd polled{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (errno != EINPROGRESS || ::poll(&polled, 1, timeoutMs) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      ::close(fd);
      return -1;
    }
  }
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// What arrives on `fd` until `count` bytes are in, the peer closes or the
// deadline passes.
std::string ReceiveUntil(int fd, size_t count, std::chrono::steady_clock::time_point deadline) {
  std::string bytes;
  while (bytes.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd polled{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&polled, 1, static_cast<int>(left.count())) != 1) break;
    char chunk[256];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

void SendAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// A peer on 127.0.0.4 that claims every piece and answers every request with
// random bytes of the asked length.
class LyingPeer {
 public:
  explicit LyingPeer(int pieces) : pieces_(pieces) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.4", &a.sin_addr);
    socklen_t length = sizeof a;
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(listener_, 8) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
      port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LyingPeer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }
  int BlocksServed() const { return served_; }

 private:
  void Serve() {
    std::mt19937 random(77);
    std::vector<int> clients;
    std::vector<std::string> pending;
    while (!stop_) {
      std::vector<pollfd> polled{{listener_, POLLIN, 0}};
      for (int fd : clients) polled.push_back({fd, POLLIN, 0});
      if (::poll(polled.data(), polled.size(), 50) <= 0) continue;
      // Only the clients that were polled; one accepted now waits a round.
      for (size_t i = 0; i + 1 < polled.size(); ++i) {
        if (!(polled[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char chunk[65536];
        const ssize_t n = ::recv(clients[i], chunk, sizeof chunk, 0);
        if (n <= 0) {
          ::close(clients[i]);
          clients[i] = -1;
          continue;
        }
        Answer(clients[i], pending[i].append(chunk, static_cast<size_t>(n)), random);
      }
      if (polled[0].revents & POLLIN) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd >= 0) {
          clients.push_back(fd);
          pending.emplace_back();
        }
      }
      for (size_t i = clients.size(); i-- > 0;)
        if (clients[i] < 0) {
          clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
          pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (int fd : clients) ::close(fd);
  }

  void Answer(int fd, std::string& in, std::mt19937& random) {
    if (in.size() >= 68 && in.compare(1, 19, "BitTorrent protocol") == 0) {
      std::string bits((static_cast<size_t>(pieces_) + 7) / 8, '\xff');
      if (pieces_ % 8) bits.back() = static_cast<char>(0xFF00 >> (pieces_ % 8));
      SendAll(fd, Handshake(in.substr(28, 20), "-XX0001-liarliarliar") + Be32(1 + static_cast<uint32_t>(bits.size())) +
                      '\x05' + bits + Be32(1) + '\x01');
      in.erase(0, 68);
    }
    while (in.size() >= 4 && in[0] != '\x13') {
      const uint32_t length = ReadBe32(in, 0);
      if (in.size() < 4 + static_cast<size_t>(length)) return;
      if (length == 13 && in[4] == '\x06') {
        const uint32_t blockLength = ReadBe32(in, 13);
        std::string block(blockLength, '\0');
        for (char& c : block) c = static_cast<char>(random());
        SendAll(fd, Be32(9 + blockLength) + '\x07' + in.substr(5, 8) + block);
        ++served_;
      }
      in.erase(0, 4 + length);
    }
  }

  int pieces_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  std::thread thread_;
};

class OurPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pf-our-pair-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "seed");
    std::mt19937_64 random(99);
    content_.resize(kFileSize);
    for (char& c : content_) c = static_cast<char>(random() >> 56);
    WriteFile(dir_ / "seed" / "payload.bin", content_);
    // No tracker answers: the peers are given to the download directly.
    ASSERT_TRUE(MakeAnnouncedTorrent(dir_ / "seed" / "payload.bin", kPieceLength, {"http://127.0.0.1:1/announce"},
                                     dir_ / "t.torrent"));
    infoHash_ = HashBytes(InfoHashHex(dir_ / "t.torrent"));
    ASSERT_EQ(infoHash_.size(), 20u);
  }
  void StartSeeder(int uploadLimitKBps = 0) {
    PftoolSetup seed;
    seed.torrent = dir_ / "t.torrent";
    seed.target = dir_ / "seed" / "payload.bin";
    seed.address = "127.0.0.2";
    seed.uploadLimitKBps = uploadLimitKBps;
    ASSERT_TRUE(seeder_.StartSeeder(seed)) << seeder_.OutputTail();
  }
  void TearDown() override {
    seeder_.Stop();
    leecher_.Stop();
    if (!HasFailure()) fs::remove_all(dir_);
  }

  static std::string HashBytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
  }

  // Downloads from the given peers and expects the original bytes.
  void DownloadFrom(const std::vector<std::string>& peers, int limitKBps = 0) {
    PftoolSetup get;
    get.torrent = dir_ / "t.torrent";
    get.target = dir_ / "get" / "payload.bin";
    get.address = "127.0.0.3";
    get.sources = peers;
    get.limitKBps = limitKBps;
    ASSERT_TRUE(leecher_.StartDownload(get));
    EXPECT_EQ(leecher_.WaitForExit(kTimeoutMs), 0) << leecher_.OutputTail();
    EXPECT_TRUE(FileHolds(get.target, content_)) << "the download must end with the original bytes";
  }

  std::string SeederPeer() const { return "btnode://127.0.0.2:" + std::to_string(seeder_.Port()); }

  fs::path dir_;
  std::string content_;
  std::string infoHash_;
  PftoolPeer seeder_;
  PftoolPeer leecher_;
};

// A peer's handshake is answered within a tick, not at the next sweep of
// the listener (every 400 ms).
TEST_F(OurPairTest, AHandshakeIsAnsweredAtOnce) {
  StartSeeder();
  const std::string handshake = Handshake(infoHash_, "-XX0001-prompt-peer1");
  std::vector<int64_t> waits;
  for (int attempt = 0; attempt < 7; ++attempt) {
    const int fd = ConnectFrom("127.0.0.6", "127.0.0.2", seeder_.Port(), 3000);
    ASSERT_GE(fd, 0);
    const auto started = std::chrono::steady_clock::now();
    SendAll(fd, handshake);
    const std::string answer = ReceiveUntil(fd, 68, started + std::chrono::seconds(3));
    waits.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                        .count());
    ::close(fd);
    ASSERT_EQ(answer.size(), 68u);
    std::this_thread::sleep_for(std::chrono::milliseconds(137));  // lands anywhere between two sweeps
  }
  std::sort(waits.begin(), waits.end());
  EXPECT_LT(waits[waits.size() / 2], 150) << "median wait in ms";
}

TEST_F(OurPairTest, WrongBlocksFromOnePeerAreNeverKept) {
  StartSeeder();
  LyingPeer liar(static_cast<int>((kFileSize + kPieceLength - 1) / kPieceLength));
  ASSERT_NE(liar.Port(), 0);
  DownloadFrom({"btnode://127.0.0.4:" + std::to_string(liar.Port()), SeederPeer()});
  // What the liar sent failed its check and was fetched again elsewhere.
  EXPECT_GT(liar.BlocksServed(), 0) << "the lying peer was never asked; the case proves nothing";
}

TEST_F(OurPairTest, SeederOutlivesAFloodOfBadConnections) {
  StartSeeder();
  const std::string good = Handshake(infoHash_, "-XX0001-floodfloodfl");
  const std::string bad[] = {
      std::string(200, 'x'),                                                   // not BitTorrent at all
      Handshake(std::string(20, 'z'), "-XX0001-otherotherot"),                 // another torrent
      good + Be32(0x7FFFFFF0) + '\x07',                                        // an absurd length
      good + Be32(3) + '\x05' + "\xff\xff",                                    // a bitfield of the wrong size
      good + Be32(13) + '\x06' + Be32(9999) + Be32(0) + Be32(16384),           // a piece that does not exist
      good + Be32(13) + '\x06' + Be32(0) + Be32(0) + Be32(1 << 30),            // a block larger than the piece
      good.substr(0, 30),                                                      // a handshake that never ends
      "GET / HTTP/1.0\r\n" + std::string(3000, 'h'),                           // a preamble that never ends
  };
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::vector<int> open;
    for (int round = 0; !stop && round < 40; ++round) {
      for (const std::string& bytes : bad) {
        const int fd = Connect("127.0.0.2", seeder_.Port());
        if (fd < 0) continue;
        SendAll(fd, bytes);
        open.push_back(fd);
      }
      // Some stay open and silent; the rest go at once.
      while (open.size() > 100) {
        ::close(open.front());
        open.erase(open.begin());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int fd : open) ::close(fd);
  });
  DownloadFrom({SeederPeer()});
  stop = true;
  flood.join();
  EXPECT_TRUE(seeder_.Running()) << seeder_.OutputTail();
}

// One local attacker floods the seeder's listener with connections that close
// at once or stay silent, faster than any peer would dial. Meanwhile honest
// peers handshake with it: each of them must get in and be answered within
// the three seconds a connecting peer waits, and a download beside the flood
// must end with the original bytes.
TEST_F(OurPairTest, HonestPeersGetInDuringAConnectionFlood) {
  constexpr int kFloodConnections = 2000;
  constexpr size_t kHeldSilent = 60;
  StartSeeder();
  std::atomic<bool> flooding{true};
  std::atomic<int> flooded{0};
  std::thread flood([&] {
    std::vector<int> held;
    for (int i = 0; i < kFloodConnections; ++i) {
      const int fd = ConnectFrom("127.0.0.5", "127.0.0.2", seeder_.Port(), 100);
      if (fd < 0) continue;
      ++flooded;
      if (i % 10 != 0) {
        ::close(fd);
        continue;
      }
      held.push_back(fd);
      if (held.size() > kHeldSilent) {
        ::close(held.front());
        held.erase(held.begin());
      }
    }
    for (int fd : held) ::close(fd);
    flooding = false;
  });
  // Honest peers, one after another for as long as the flood lasts.
  int honest = 0;
  std::vector<std::string> failures;
  std::thread honestPeers([&] {
    const std::string handshake = Handshake(infoHash_, "-XX0001-honesthonest");
    while (flooding || honest < 20) {
      const auto started = std::chrono::steady_clock::now();
      const int fd = ConnectFrom("127.0.0.6", "127.0.0.2", seeder_.Port(), 3000);
      std::string answer;
      if (fd >= 0) {
        SendAll(fd, handshake);
        answer = ReceiveUntil(fd, 68, started + std::chrono::seconds(3));
        ::close(fd);
      }
      ++honest;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
      if (fd < 0) failures.push_back("attempt " + std::to_string(honest) + ": no connection after " + std::to_string(ms.count()) + " ms");
      else if (answer.size() < 68 || answer.compare(28, 20, infoHash_) != 0)
        failures.push_back("attempt " + std::to_string(honest) + ": no handshake after " + std::to_string(ms.count()) + " ms");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  DownloadFrom({SeederPeer()});
  flood.join();
  honestPeers.join();
  EXPECT_GT(flooded, kFloodConnections / 2) << "the flood never reached the listener; the case proves nothing";
  EXPECT_GE(honest, 20);
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << honest << " honest peers failed, first: " << failures.front();
  EXPECT_TRUE(seeder_.Running()) << seeder_.OutputTail();
}

// The seeder's upload limit and the leecher's download limit each hold the
// transfer to its rate: the file takes at least its size over the limit,
// less the first second's budget (spent at once when the peers connect
// right away), and not much more.
TEST_F(OurPairTest, EitherSideLimitHoldsTheTransferToItsRate) {
  constexpr int kLimitKBps = 1024;
  const double floor = 0.95 * (static_cast<double>(kFileSize) / (kLimitKBps * 1024.0) - 1);
  for (const bool onSeeder : {true, false}) {
    SCOPED_TRACE(onSeeder ? "upload limit on the seeder" : "download limit on the leecher");
    StartSeeder(onSeeder ? kLimitKBps : 0);
    fs::remove_all(dir_ / "get");
    const auto started = std::chrono::steady_clock::now();
    DownloadFrom({SeederPeer()}, onSeeder ? 0 : kLimitKBps);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(seconds, floor);
    EXPECT_LE(seconds, 2 * floor + 5);
    seeder_.Stop();
  }
}

}  // namespace
}  // namespace pf
