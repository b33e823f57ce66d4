// A multi-file torrent with empty files between its data files (one in a
// folder of its own), served by our seeder and fetched by pftool download:
// where --target puts the files and what it refuses, and the empty files,
// which no piece brings, on disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/BitTorrentPeers.h"
#include "support/TorrentFixture.h"

namespace pf {
namespace {

namespace fs = std::filesystem;
using namespace pf::testing;

constexpr int kTimeoutMs = 60000;

struct Output {
  int status = -1;
  std::string text;  // standard output and error
};

Output RunPftool(const std::string& arguments) {
  Output result;
  FILE* pipe = ::popen((std::string(PFTOOL_PATH) + " " + arguments + " 2>&1 </dev/null").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.text.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class MultiFileTorrentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pf-multi-file-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    torrent_ = std::make_unique<MultiFileTorrentFixture>(
        dir_, "multi",
        std::vector<MultiFileTorrentFixture::File>{{"empty.txt", 0},
                                                   {"readme.txt", 5000},
                                                   {"\xe6\x95\xb0\xe6\x8d\xae/\xe8\xb5\x84\xe6\x96\x99" "01.cab", 300000},
                                                   {"\xe6\x95\xb0\xe6\x8d\xae/\xe7\xa9\xba/none.dat", 0},
                                                   {"tail.bin", 70000}},
        65536);
    torrent_->WriteFiles(dir_ / "seed");
  }
  void TearDown() override {
    seeder_.Stop();
    leecher_.Stop();
    if (!HasFailure()) fs::remove_all(dir_);
  }

  void StartSeeder() {
    PftoolSetup seed;
    seed.torrent = torrent_->path;
    seed.target = dir_ / "seed";  // the folder that holds multi/
    seed.address = "127.0.0.2";
    ASSERT_TRUE(seeder_.StartSeeder(seed)) << seeder_.OutputTail();
  }

  // pftool download into `target` from our seeder; its exit code.
  std::optional<int> Download(const fs::path& target) {
    PftoolSetup get;
    get.torrent = torrent_->path;
    get.target = target;
    get.address = "127.0.0.3";
    get.sources = {"btnode://127.0.0.2:" + std::to_string(seeder_.Port())};
    if (!leecher_.StartDownload(get)) return std::nullopt;
    return leecher_.WaitForExit(kTimeoutMs);
  }

  // Every file of the torrent under `folder` (the torrent's folder) with its bytes.
  void ExpectFilesIn(const fs::path& folder) {
    for (size_t i = 0; i < torrent_->files.size(); ++i) {
      const fs::path file = folder / torrent_->files[i].path;
      EXPECT_TRUE(fs::is_regular_file(file)) << file;
      EXPECT_TRUE(FileHolds(file, torrent_->FileBytes(i))) << file;
    }
  }

  fs::path dir_;
  std::unique_ptr<MultiFileTorrentFixture> torrent_;
  PftoolPeer seeder_;
  PftoolPeer leecher_;
};

TEST_F(MultiFileTorrentTest, EmptyFilesAreMadeAndMadeAgainOnceDeleted) {
  StartSeeder();
  ASSERT_EQ(Download(dir_ / "get"), 0) << leecher_.OutputTail();
  const fs::path folder = dir_ / "get" / "multi";
  ExpectFilesIn(folder);

  const fs::path emptyOne = folder / torrent_->files[0].path;
  const fs::path emptyNested = folder / torrent_->files[3].path;
  fs::remove(emptyOne);
  fs::remove_all(emptyNested.parent_path());
  const Output check = RunPftool("check " + torrent_->path + " " + folder.string());
  EXPECT_EQ(check.status, 0) << check.text;
  EXPECT_NE(check.text.find("held: 6/6"), std::string::npos) << check.text;
  EXPECT_NE(check.text.find("missing empty file: multi/empty.txt"), std::string::npos) << check.text;
  EXPECT_NE(check.text.find("missing empty file: multi/" + torrent_->files[3].path), std::string::npos)
      << check.text;
  EXPECT_FALSE(fs::exists(emptyOne)) << "the check only reports";

  // The next start of the task makes them again; nothing needs fetching.
  ASSERT_EQ(Download(dir_ / "get"), 0) << leecher_.OutputTail();
  ExpectFilesIn(folder);
}

// --target of a multi-file torrent is the folder to save in; what cannot be
// meant so is refused before anything is made.
TEST_F(MultiFileTorrentTest, TargetIsTheFolderToSaveIn) {
  const std::string cab = torrent_->files[2].path;
  std::ofstream(dir_ / "plain.bin") << "x";
  fs::create_directories(dir_ / "existing");
  struct Case {
    const char* what;
    std::string target;      // below the test's folder
    std::string filesIn;     // the torrent's folder, below the test's folder; empty: refused
    std::string message;     // part of the refusal
  };
  const Case cases[] = {
      {"a new folder", "new", "new/multi", ""},
      {"an existing folder", "existing", "existing/multi", ""},
      {"the torrent's own folder", "own/multi", "own/multi", ""},
      {"a file of the torrent", "named/multi/" + cab, "", "names the file multi/" + cab},
      {"a file of the torrent without its folder", "bare/" + cab, "", "names the file multi/" + cab},
      {"an existing file", "plain.bin", "", "is a file"},
  };
  StartSeeder();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path target = dir_ / c.target;
    if (!c.filesIn.empty()) {
      ASSERT_EQ(Download(target), 0) << leecher_.OutputTail();
      EXPECT_NE(leecher_.Output().find("complete: " + (dir_ / c.filesIn).string()), std::string::npos)
          << leecher_.OutputTail();
      ExpectFilesIn(dir_ / c.filesIn);
      continue;
    }
    const Output refused =
        RunPftool("download --torrent " + torrent_->path + " --target '" + target.string() + "' --port 1");
    EXPECT_EQ(refused.status, 1) << refused.text;
    EXPECT_NE(refused.text.find(c.message), std::string::npos) << refused.text;
    EXPECT_NE(refused.text.find("--target names the folder to save in"), std::string::npos) << refused.text;
    EXPECT_FALSE(fs::exists(dir_ / fs::path(c.target).begin()->string() / "multi")) << "nothing was made";
  }
}

}  // namespace
}  // namespace pf
