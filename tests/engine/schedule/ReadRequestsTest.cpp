// Reads posted by other threads are served from held pieces only, across
// piece boundaries, and refused otherwise.
#include <gtest/gtest.h>

#include <thread>

#include "engine/schedule/ReadRequests.h"
#include "support/PieceMapFixture.h"

namespace pf {
namespace {

using testing::MapSpec;
using testing::PieceMapFixture;
using testing::TestSource;

TEST(ReadRequests, ServedFromHeldPiecesOnly) {
  PieceMapFixture fx("reads");
  const MapSpec spec{{100000, 60000}, 65536};  // three pieces over two files
  auto map = fx.Map(spec);
  ASSERT_TRUE(map->BuildPieces(nullptr));
  auto source = RefPtr<TestSource>::Make(kHttp);
  for (int index : {0, 1}) {  // pieces 0 and 1 held, piece 2 not
    TPiece& piece = *map->Piece(index);
    for (int offset = 0; offset < piece.size; offset += 16384)
      piece.Receive(reinterpret_cast<const uint8_t*>(fx.content.data()) + map->PieceStart(index) + offset,
                    std::min(16384, piece.size - offset), offset, source.get());
    ASSERT_EQ(piece.FinishWrite(), piece.size);
  }

  struct Case {
    int64_t offset;
    int length;
    int state;
  } cases[] = {
      {1000, 500, ReadRequests::kDone},
      {65000, 60000, ReadRequests::kDone},    // across pieces 0 and 1 and the file boundary
      {130000, 2000, ReadRequests::kFailed},  // reaches piece 2, not held
      {159999, 2, ReadRequests::kFailed},     // past the end
      {-1, 10, ReadRequests::kFailed},
  };
  ReadRequests reads;
  std::vector<std::string> buffers;
  std::vector<ReadRequests::Request> requests(std::size(cases));
  for (size_t i = 0; i < requests.size(); ++i) {
    buffers.emplace_back(static_cast<size_t>(std::max(cases[i].length, 0)), '\0');
    requests[i].offset = cases[i].offset;
    requests[i].length = cases[i].length;
    requests[i].destination = reinterpret_cast<uint8_t*>(buffers[i].data());
    reads.Post(requests[i]);
  }
  // Served by another thread while this one waits, as a peer would.
  std::thread work([&] { reads.Serve(*map); });
  EXPECT_TRUE(reads.Wait(requests.back(), 5000));
  work.join();
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].state, cases[i].state) << i;
    if (cases[i].state == ReadRequests::kDone) {
      EXPECT_EQ(buffers[i], fx.content.substr(static_cast<size_t>(cases[i].offset), buffers[i].size())) << i;
    }
  }
  EXPECT_FALSE(reads.Withdraw(requests[0])) << "already served";
}

}  // namespace
}  // namespace pf
