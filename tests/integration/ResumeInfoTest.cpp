// pftool resume-info reads back the state a piece map saved.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "engine/content/TTorrent.h"
#include "engine/content/TaskStateFile.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

// Runs pftool resume-info on the state file; its stdout and stderr together.
std::string RunResumeInfo(const testing::PieceMapFixture& fx, const std::string& statePath, int* status) {
  const std::string outputPath = (fx.dir / "resume-info.out").string();
  *status = std::system((std::string(PFTOOL_PATH) + " resume-info '" + statePath + "' > '" + outputPath +
                         "' 2>&1")
                            .c_str());
  return fx.ReadFile(outputPath);
}

TEST(ResumeInfo, ShowsKeysHashHeldAndPartialPieces) {
  testing::PieceMapFixture fx("resume-info");
  const testing::MapSpec spec{{300000, 600000}, 262144};
  auto map = fx.Map(spec);
  TTorrent torrent;
  TTorrent::InfoHash hash;
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0xA0 + i);
  torrent.SetTemplateIdentity(hash, "", "");
  map->torrent = &torrent;
  const std::string statePath = (fx.dir / "task.pfinfo").string();
  map->partialsPath = TaskStateFile::PartialsPath(statePath);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  auto feed = [&](int piece, int from, int to) {
    for (int unit = from; unit < to; ++unit)
      map->Piece(piece)->Receive(reinterpret_cast<const uint8_t*>(fx.content.data()) + map->PieceStart(piece) +
                                     unit * 16384,
                                 16384, unit * 16384, nullptr);
  };
  feed(0, 0, 16);
  feed(1, 0, 8);
  ASSERT_EQ(map->Piece(1)->Flush(131072), 131072);
  feed(1, 8, 11);
  feed(2, 0, 2);
  map->CloseFiles(false, true);
  map->SaveResume();
  ASSERT_TRUE(map->SavePartials());
  ASSERT_EQ(fx.sink.payloads.back().substr(0, 11), "d8:infohash");
  ASSERT_TRUE(TaskStateFile::Write(statePath, TaskStateStrings{"", "l2:f0i0edee", fx.sink.payloads.back(), ""}));

  int status = 0;
  const std::string output = RunResumeInfo(fx, statePath, &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output,
            "keys: bits part\n"
            "info_hash: a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3\n"
            "held_pieces: 1/8\n"
            "partial: index=1 flushed=131072\n"
            "partial_file: index=1 units=3\n"
            "partial_file: index=2 units=2\n");

  const std::string missing = RunResumeInfo(fx, (fx.dir / "none.pfinfo").string(), &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(missing.find("not a readable task state file"), std::string::npos) << missing;
}

}  // namespace
}  // namespace pf
