#include <gtest/gtest.h>

#include "engine/schedule/HaveQueue.h"

namespace pf {
namespace {

TEST(HaveQueue, AnnouncesEachPieceOnceAsHaveMessages) {
  HaveQueue queue;
  EXPECT_TRUE(queue.Add(1));
  EXPECT_TRUE(queue.Add(0x01020304));
  EXPECT_FALSE(queue.Add(1));
  const auto batches = queue.TakeDue(100);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0], std::string("\0\0\0\x05\x04\0\0\0\x01"
                                    "\0\0\0\x05\x04\x01\x02\x03\x04",
                                    18));
  EXPECT_TRUE(queue.Empty());
  EXPECT_TRUE(queue.Add(1)) << "announced pieces may be queued again";
}

TEST(HaveQueue, WaitsMoreThanSevenSecondsBetweenAnnouncements) {
  HaveQueue queue;
  EXPECT_TRUE(queue.TakeDue(100).empty()) << "an empty queue announces nothing";
  queue.Add(3);
  EXPECT_TRUE(queue.TakeDue(7).empty());
  EXPECT_EQ(queue.TakeDue(8).size(), 1u);
  queue.Add(4);
  EXPECT_TRUE(queue.TakeDue(15).empty());
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(queue.TakeDue(16).size(), 1u);
}

TEST(HaveQueue, SplitsLongQueuesIntoBatchesInOrder) {
  HaveQueue queue;
  const int count = static_cast<int>(HaveQueue::kBatchMessages) * 2 + 1;
  for (int piece = count - 1; piece >= 0; --piece) queue.Add(piece);
  const auto batches = queue.TakeDue(100);
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].size(), HaveQueue::kBatchMessages * 9);
  EXPECT_EQ(batches[1].size(), HaveQueue::kBatchMessages * 9);
  EXPECT_EQ(batches[2].size(), 9u);
  auto pieceAt = [](const std::string& batch, size_t message) {
    const auto* p = reinterpret_cast<const uint8_t*>(batch.data() + message * 9 + 5);
    return (p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
  };
  EXPECT_EQ(pieceAt(batches[0], 0), count - 1);
  EXPECT_EQ(pieceAt(batches[1], 0), count - 1 - static_cast<int>(HaveQueue::kBatchMessages));
  EXPECT_EQ(pieceAt(batches[2], 0), 0);
}

}  // namespace
}  // namespace pf
