#include "engine/peers/TFtpPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/FakePeerHost.h"
#include "support/ScriptedFtpServer.h"

namespace pf {
namespace {

using testing::FakePeerHost;
using testing::ScriptedFtpServer;

// Commands that follow from the data, not from the login.
std::vector<std::string> Restarts(const std::vector<std::string>& commands) {
  std::vector<std::string> restarts;
  for (const auto& c : commands)
    if (c.rfind("REST ", 0) == 0) restarts.push_back(c);
  return restarts;
}

class FtpPeerTest : public ::testing::Test {
 protected:
  // Attaches a fresh peer to `url` with the given block requests queued and
  // ticks it until they are all delivered (or two seconds pass).
  void Fetch(const std::string& url, const std::vector<int64_t>& blocks) {
    source = RefPtr<TPeerId>::Make(url);
    ASSERT_TRUE(source->ParseSource()) << url;
    object = RefPtr<TPeerObject>::Adopt(new TFtpPeer(&task));
    peer = static_cast<TFtpPeer*>(object.get());
    ASSERT_TRUE(peer->AttachSource(source.get()));
    for (const int64_t block : blocks) peer->requests.push_back({block, kBlockSize, 0});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!peer->requests.empty() && std::chrono::steady_clock::now() < deadline) {
      if (!peer->DownloadTick()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(peer->requests.empty()) << "blocks left undelivered";
  }

  FakePeerHost task;
  RefPtr<TPeerId> source;
  RefPtr<TPeerObject> object;
  TFtpPeer* peer = nullptr;
};

TEST_F(FtpPeerTest, LogsInAndAsksForTheFileByItsFolderAndName) {
  struct Case {
    const char* name;
    std::string path;
    std::string login;
    size_t replyPiece;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {"anonymous, file in a folder", "/pub/dir/file.bin", "", SIZE_MAX,
       {"USER anonymous", "PASS pelicanfetch@example.com", "CWD /pub/dir", "TYPE I", "SIZE file.bin", "PASV",
        "REST 163840", "RETR /pub/dir/file.bin"}},
      {"file in the root, name with a blank", "/my%20file.bin", "", SIZE_MAX,
       {"USER anonymous", "PASS pelicanfetch@example.com", "CWD /", "TYPE I", "SIZE my file.bin", "PASV",
        "REST 163840", "RETR /my file.bin"}},
      {"user and password, replies cut in 3-byte pieces", "/f.bin", "mirror:s3cret", 3,
       {"USER mirror", "PASS s3cret", "CWD /", "TYPE I", "SIZE f.bin", "PASV", "REST 163840", "RETR /f.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server("127.0.0.1", {.content = std::string(30 * kBlockSize, 'x'), .replyPiece = c.replyPiece});
    ASSERT_TRUE(server.Listening());
    Fetch(server.Url(c.path, c.login), {10, 11});
    EXPECT_EQ(server.Commands(), c.commands);
    EXPECT_EQ(source->resourceSize, 30 * kBlockSize) << "the size is learned";
  }
}

// The data stream is read through gaps of up to five blocks; a request
// further ahead starts a new PASV, REST, RETR cycle at its block.
TEST_F(FtpPeerTest, ANewCycleOnlyWhenTheNextBlockIsFarAhead) {
  struct Case {
    std::vector<int64_t> blocks;
    std::vector<std::string> restarts;
  };
  const Case cases[] = {
      {{10, 11, 12}, {"REST 163840"}},
      {{10, 11, 12, 18}, {"REST 163840"}},                 // 5 blocks past the stream: read through
      {{10, 11, 12, 20}, {"REST 163840", "REST 327680"}},  // 7 blocks past it
      {{10, 11, 12, 4}, {"REST 163840", "REST 65536"}},    // behind it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.restarts.size());
    ScriptedFtpServer server("127.0.0.1", {.content = std::string(30 * kBlockSize, 'x')});
    ASSERT_TRUE(server.Listening());
    Fetch(server.Url("/f.bin"), c.blocks);
    EXPECT_EQ(Restarts(server.Commands()), c.restarts);
  }
}

}  // namespace
}  // namespace pf
