// `pftool download` of a 1 GiB file from three nginx mirrors, killed with
// SIGKILL at random moments and started again, twenty times. After every
// kill, no piece that was already right on disk may have been lost; the last
// run completes the file; and all runs together fetch little more than the
// file once (a restart never starts over).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/content/Sha1.h"
#include "support/LoopbackServers.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int64_t kPieceLength = 2097152;
constexpr int64_t kFileSize = int64_t{1} << 30;
constexpr int kPieces = static_cast<int>(kFileSize / kPieceLength);

// Deterministic bytes, written a mebibyte at a time.
void WriteContent(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(20261210);
  std::vector<uint64_t> chunk(131072);
  for (int64_t written = 0; written < kFileSize; written += 1048576) {
    for (uint64_t& word : chunk) word = random();
    out.write(reinterpret_cast<const char*>(chunk.data()), 1048576);
  }
}

std::vector<Sha1::Digest> PieceHashes(const fs::path& path) {
  std::vector<Sha1::Digest> hashes;
  std::ifstream in(path, std::ios::binary);
  std::vector<char> piece(kPieceLength);
  while (in.read(piece.data(), kPieceLength) || in.gcount() > 0)
    hashes.push_back(Sha1::hash(piece.data(), static_cast<size_t>(in.gcount())));
  return hashes;
}

// Which pieces of the partial download already hold the right bytes.
std::vector<bool> GoodPieces(const fs::path& target, const std::vector<Sha1::Digest>& want) {
  std::vector<bool> good(want.size(), false);
  const fs::path onDisk = fs::exists(target) ? target : fs::path(target.string() + ".pftmp");
  const std::vector<Sha1::Digest> have = PieceHashes(onDisk);
  for (size_t i = 0; i < want.size() && i < have.size(); ++i) good[i] = have[i] == want[i];
  return good;
}

TEST(KilledDownload, ThreeMirrorsTwentyKillsNoPieceLostNothingFetchedTwice) {
  if (!ProgramExists("nginx")) GTEST_FAIL() << "nginx is not installed (scripts/setup installs it)";
  const fs::path dir = fs::temp_directory_path() / ("pf-killed-download-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  fs::create_directories(dir / "save");
  WriteContent(dir / "data" / "big.bin");
  const std::vector<Sha1::Digest> want = PieceHashes(dir / "data" / "big.bin");
  ASSERT_EQ(static_cast<int>(want.size()), kPieces);
  const fs::path torrent = dir / "big.torrent";
  ASSERT_TRUE(MakeTorrent(dir / "data" / "big.bin", kPieceLength, torrent));

  LoopbackNginx mirrors[3];
  std::vector<std::string> args{PFTOOL_PATH, "download", "--torrent", torrent.string(),
                                "--target", (dir / "save" / "big.bin").string(),
                                "--resume", (dir / "task.pfinfo").string()};
  for (int i = 0; i < 3; ++i) {
    const std::string address = "127.0.0." + std::to_string(i + 1);
    ASSERT_TRUE(mirrors[i].Start(dir / "data", dir / ("nginx-" + std::to_string(i)), address));
    args.push_back("--source");
    args.push_back(mirrors[i].Url("/big.bin"));
  }
  const fs::path target = dir / "save" / "big.bin";
  // At 20 MB/s the twenty cut runs cannot fetch the whole file, so each is
  // cut in the middle; together they fetch a good part of it.
  std::vector<std::string> cutArgs = args;
  cutArgs.insert(cutArgs.end(), {"--limit", "20000"});

  std::mt19937 random(611);
  std::uniform_int_distribution<int> lifetime(500, 3000);
  std::vector<bool> before(want.size(), false);
  int mostGood = 0;
  for (int run = 0; run < 20; ++run) {
    const pid_t pid = StartProcess(cutArgs, (dir / "pftool.log").string());
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(lifetime(random)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    if (!fs::exists(target) && !fs::exists(target.string() + ".pftmp")) {
      ASSERT_EQ(std::count(before.begin(), before.end(), true), 0) << "run " << run << " removed the file";
      continue;
    }
    const std::vector<bool> now = GoodPieces(target, want);
    for (int piece = 0; piece < kPieces; ++piece)
      ASSERT_FALSE(before[piece] && !now[piece]) << "run " << run << " lost piece " << piece;
    mostGood = static_cast<int>(std::count(now.begin(), now.end(), true));
    std::printf("run %2d: %d of %d pieces right on disk\n", run, mostGood, kPieces);
    before = now;
  }
  // A run that started over would refetch the same first pieces: the file
  // would never hold much more than one run's worth (under 50 MB).
  EXPECT_GT(mostGood, kPieces / 4) << "the killed runs kept little of what they fetched";
  EXPECT_LT(mostGood, kPieces) << "the file was complete before the last kill; the runs were not cut";

  const pid_t last = StartProcess(args, (dir / "pftool.log").string());
  EXPECT_EQ(WaitForExit(last, 120000), 0) << ReadFile(dir / "pftool.log").substr(0, 4000);
  const std::vector<bool> done = GoodPieces(target, want);
  EXPECT_EQ(std::count(done.begin(), done.end(), true), kPieces) << "the finished file is right";
  EXPECT_EQ(fs::file_size(target), static_cast<uintmax_t>(kFileSize));
  EXPECT_FALSE(fs::exists(dir / "task.pfinfo"));

  // nginx logs cut connections a moment after they close.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int64_t sent = 0;
  for (const LoopbackNginx& mirror : mirrors) sent += mirror.BytesSent();
  // Every kill loses what sat in socket buffers; far less than the file.
  std::printf("the mirrors sent %.2f times the file\n", static_cast<double>(sent) / kFileSize);
  EXPECT_LT(sent, 2 * kFileSize) << "the runs fetched much of the file more than once";
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pf
