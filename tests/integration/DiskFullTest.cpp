// A real full disk: a small tmpfs that the test mounts. Storage must wait for
// room, say so once, go on when room appears, and damage nothing written.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "engine/content/TPieces.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;

class ThreadSafeSink : public PieceEventSink {
 public:
  void OnPieceEvent(const PieceEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex);
    codes.push_back(event.code);
    changed.notify_all();
  }
  bool IsStopping() override { return stopping; }
  int Count(int code) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count(codes.begin(), codes.end(), code));
  }
  bool WaitFor(int code) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::count(codes.begin(), codes.end(), code) > 0;
    });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> codes;
  std::atomic<bool> stopping{false};
};

class DiskFull : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("pf-diskfull-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m"), 0)
        << "mounting a tmpfs needs root: " << std::strerror(errno);
    mounted = true;
  }
  void TearDown() override {
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
    fs::remove_all(dir);
  }
  fs::path dir;
  bool mounted = false;
};

TEST_F(DiskFull, StorageWaitsForRoomAndKeepsWhatWasWritten) {
  const int64_t mb = 1048576;
  const std::string content = testing::StreamBytes(3 * mb);
  std::string hashes;
  for (int i = 0; i < 3; ++i) {
    const auto d = Sha1::hash(content.data() + i * mb, static_cast<size_t>(mb));
    hashes.append(reinterpret_cast<const char*>(d.data()), d.size());
  }
  std::vector<std::unique_ptr<TFileEntry>> files;
  for (int i = 0; i < 2; ++i) {
    auto entry = std::make_unique<TFileEntry>();
    entry->Construct((dir / ("f" + std::to_string(i))).string(), "f" + std::to_string(i),
                     i == 0 ? mb : 2 * mb, i);
    entry->offset = i == 0 ? 0 : mb;
    entry->SetUpTempName();
    files.push_back(std::move(entry));
  }
  ThreadSafeSink sink;
  auto map = RefPtr<TPieces>::Make(&sink);
  map->freeSpacePollMs = 50;
  map->SetContent("full", 3 * mb, static_cast<int>(mb), hashes, std::move(files), true);
  ASSERT_TRUE(map->BuildPieces(nullptr));

  auto receive = [&](int index) {
    TPiece& piece = *map->Piece(index);
    for (int offset = 0; offset < mb; offset += 16384)
      piece.Receive(reinterpret_cast<const uint8_t*>(content.data()) + index * mb + offset, 16384,
                    offset, nullptr);
    return piece.FinishWrite();
  };
  ASSERT_EQ(receive(0), mb) << "the first file fits";

  // Fill the disk so that the second file (2 MB) cannot grow.
  const fs::path filler = dir / "filler";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string chunk(65536, 'z');
    while (fs::space(dir).available > mb) out.write(chunk.data(), chunk.size());
  }

  std::atomic<int> written{0};
  std::thread writer([&] { written = receive(1); });
  ASSERT_TRUE(sink.WaitFor(PieceEvent::kDiskWait)) << "storage must report the wait";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(written, 0) << "the write waits while the disk is full";
  fs::remove(filler);
  writer.join();

  EXPECT_EQ(written, mb);
  EXPECT_EQ(sink.Count(PieceEvent::kDiskWait), 1);
  EXPECT_EQ(sink.Count(PieceEvent::kDiskRoom), 1);
  EXPECT_TRUE(map->IsHeld(0));
  EXPECT_TRUE(map->IsHeld(1));
  map->CloseFiles(false, true);
  std::ifstream first(dir / "f0", std::ios::binary);  // every piece held, so renamed
  std::string bytes((std::istreambuf_iterator<char>(first)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(bytes == content.substr(0, mb)) << "bytes written before the wait are intact";
}

TEST_F(DiskFull, AStoppingTaskEndsTheWaitWithAFailedWrite) {
  const int64_t mb = 1048576;
  const std::string content = testing::StreamBytes(6 * mb);
  auto entry = std::make_unique<TFileEntry>();
  entry->Construct((dir / "big").string(), "big", 6 * mb, 0);
  entry->SetUpTempName();
  std::vector<std::unique_ptr<TFileEntry>> files;
  files.push_back(std::move(entry));
  ThreadSafeSink sink;
  auto map = RefPtr<TPieces>::Make(&sink);
  map->freeSpacePollMs = 50;
  map->SetContent("big", 6 * mb, static_cast<int>(mb), std::string(6 * 20, 'h'), std::move(files), false);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  std::atomic<int> result{1};
  std::thread writer([&] {
    result = map->Piece(0)->WriteThrough(reinterpret_cast<const uint8_t*>(content.data()), static_cast<int>(mb), 0, true);
  });
  ASSERT_TRUE(sink.WaitFor(PieceEvent::kDiskWait));
  sink.stopping = true;
  writer.join();
  EXPECT_LE(result, 0);
  EXPECT_EQ(sink.Count(PieceEvent::kDiskRoom), 0);
}

}  // namespace
}  // namespace pf
