// The piece bitmap: BitTorrent bit order, spare bits always clear, and
// indexes out of range neither read nor written.
#include <gtest/gtest.h>

#include <vector>

#include "engine/base/Bitfield.h"

namespace pf {
namespace {

TEST(Bitfield, BitOrderSpareBitsAndRanges) {
  const struct {
    int64_t pieces;
    std::vector<int64_t> set;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {0, {0, 1}, {}},
      {1, {0}, {0x80}},
      {8, {0, 7}, {0x81}},
      {9, {8, 9, -1}, {0x00, 0x80}},  // 9 and -1 are outside
      {12, {1, 11, 12}, {0x40, 0x10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pieces);
    Bitfield bits(c.pieces);
    for (int64_t p : c.set) bits.Set(p);
    EXPECT_EQ(std::vector<uint8_t>(bits.Bytes().begin(), bits.Bytes().end()), c.bytes);
    for (int64_t p : c.set) EXPECT_EQ(bits.Test(p), p >= 0 && p < c.pieces) << p;
    EXPECT_EQ(bits.Any(), bits.Count() > 0);
    EXPECT_EQ(BitfieldView(bits).Any(), bits.Any());
    bits.SetAll(true);
    EXPECT_EQ(bits.Count(), c.pieces) << "spare bits stay clear";
    EXPECT_TRUE(bits.All());
    bits.Set(c.pieces - 1, false);
    EXPECT_EQ(bits.All(), c.pieces == 0);
  }
}

TEST(Bitfield, AssignTakesWhatFitsAndClearsTheRest) {
  Bitfield bits;
  const uint8_t wire[] = {0xFF, 0xFF, 0xFF};
  bits.Assign(wire, 10);  // a peer that set spare bits and sent a byte too many
  EXPECT_EQ(bits.Count(), 10);
  EXPECT_EQ(bits.Bytes().size(), 2u);
  EXPECT_EQ(bits.Bytes()[1], 0xC0);
  bits.Assign(std::span<const uint8_t>(wire, 1), 12);  // too few bytes: the rest clear
  EXPECT_EQ(bits.Count(), 8);
  bits.Resize(4);
  EXPECT_EQ(bits.Bytes()[0], 0xF0);
  bits.Resize(8);
  EXPECT_EQ(bits.Count(), 4) << "bits that come back are clear";
  const BitfieldView view = bits;
  EXPECT_TRUE(view.Test(3));
  EXPECT_FALSE(view.Test(4));
  EXPECT_FALSE(view.Test(800));
}

}  // namespace
}  // namespace pf
