#include "engine/content/Sha1.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pf {
namespace {

std::vector<std::uint8_t> pseudoRandom(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}

std::string hexOf(Sha1& h) {
    Sha1::Digest d{};
    EXPECT_TRUE(h.finish(d));
    return Sha1::toHex(d);
}

void putLe(Sha1::Context& c, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        c[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t getLe(const Sha1::Context& c, std::size_t at) {
    return std::uint32_t{c[at]} | std::uint32_t{c[at + 1]} << 8 | std::uint32_t{c[at + 2]} << 16 |
           std::uint32_t{c[at + 3]} << 24;
}

// A context as RFC 3174's reference code leaves it after SHA1Reset.
Sha1::Context freshReferenceContext() {
    Sha1::Context c{};
    const std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    for (int i = 0; i < 5; ++i)
        putLe(c, 4 * i, h[i]);
    return c;
}

TEST(Sha1Test, Rfc3174Vectors) {
    struct Case {
        std::string chunk;
        int repeat;
        const char* hex;
    };
    const Case cases[] = {
        {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"0123456701234567012345670123456701234567012345670123456701234567", 10,
         "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunk.substr(0, 16) + " x" + std::to_string(c.repeat));
        std::string whole;
        Sha1 incremental;
        for (int i = 0; i < c.repeat; ++i) {
            whole += c.chunk;
            incremental.update(c.chunk);
        }
        EXPECT_EQ(Sha1::toHex(Sha1::hash(whole)), c.hex);
        EXPECT_EQ(hexOf(incremental), c.hex);
    }
}

TEST(Sha1Test, IncrementalMatchesOneShotAtAnySplit) {
    const auto data = pseudoRandom(1000);
    const std::string expected = Sha1::toHex(Sha1::hash(data));
    const std::span<const std::uint8_t> all(data);

    // Two-part splits around block and padding boundaries (55/56 decide
    // whether the length still fits into the last block).
    for (std::size_t split = 0; split <= 200; ++split) {
        Sha1 h;
        h.update(all.first(split));
        h.update(all.subspan(split));
        ASSERT_EQ(hexOf(h), expected) << "split at " << split;
    }
    for (std::size_t chunk : {1u, 3u, 7u, 55u, 63u, 64u, 65u, 129u, 999u}) {
        Sha1 h;
        for (std::size_t at = 0; at < data.size(); at += chunk)
            h.update(all.subspan(at, std::min(chunk, data.size() - at)));
        EXPECT_EQ(hexOf(h), expected) << "chunks of " << chunk;
    }
}

TEST(Sha1Test, SavedContextResumesInAnotherObject) {
    const auto data = pseudoRandom(5000);
    const std::string expected = Sha1::toHex(Sha1::hash(data));
    const std::span<const std::uint8_t> all(data);

    for (std::size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1000u, 4999u, 5000u}) {
        SCOPED_TRACE(split);
        Sha1 first;
        first.update(all.first(split));
        const Sha1::Context saved = first.save();

        Sha1 resumed;
        resumed.update("unrelated bytes that restore must discard");
        ASSERT_TRUE(resumed.restore(saved));
        EXPECT_EQ(resumed.save(), saved);
        resumed.update(all.subspan(split));
        EXPECT_EQ(hexOf(resumed), expected);
    }
}

TEST(Sha1Test, SavedContextUsesReferenceLayout) {
    // 64 + 5 bytes: one block compressed, five bytes pending.
    const auto data = pseudoRandom(69);
    Sha1 h;
    h.update(data);
    const Sha1::Context c = h.save();
    EXPECT_EQ(getLe(c, 20), 69u * 8); // length in bits, low word
    EXPECT_EQ(getLe(c, 24), 0u);      // high word
    EXPECT_EQ(getLe(c, 28), 5u);      // index into the block
    EXPECT_TRUE(std::equal(data.begin() + 64, data.end(), c.begin() + 32));
    EXPECT_EQ(getLe(c, 96), 0u);  // computed
    EXPECT_EQ(getLe(c, 100), 0u); // corrupted

    // A context written by the reference code after SHA1Input("abc").
    Sha1::Context abc = freshReferenceContext();
    putLe(abc, 20, 24);
    putLe(abc, 28, 3);
    abc[32] = 'a', abc[33] = 'b', abc[34] = 'c';
    Sha1 restored;
    ASSERT_TRUE(restored.restore(abc));
    EXPECT_EQ(hexOf(restored), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1Test, ComputedAndCorruptedStatesSurviveSaveAndRestore) {
    Sha1 h;
    h.update("abc");
    Sha1::Digest d{};
    ASSERT_TRUE(h.finish(d));
    const Sha1::Context done = h.save();
    EXPECT_EQ(getLe(done, 96), 1u);
    EXPECT_EQ(getLe(done, 0), 0xA9993E36u); // the digest is left in the hash words
    EXPECT_EQ(getLe(done, 28), 0u);

    Sha1 again;
    ASSERT_TRUE(again.restore(done));
    EXPECT_EQ(hexOf(again), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // Input after the digest is a state error; the digest is no longer given.
    again.update("x");
    EXPECT_EQ(again.corrupted(), Sha1::kStateError);
    EXPECT_FALSE(again.finish(d));
    EXPECT_EQ(getLe(again.save(), 100), Sha1::kStateError);

    // A message length that would pass 2^64 bits is an input-too-long error.
    Sha1::Context full = freshReferenceContext();
    putLe(full, 20, 0xFFFFFFF8);
    putLe(full, 24, 0xFFFFFFFF);
    Sha1 tooLong;
    ASSERT_TRUE(tooLong.restore(full));
    tooLong.update("y");
    EXPECT_EQ(tooLong.corrupted(), Sha1::kInputTooLong);
    EXPECT_FALSE(tooLong.finish(d));
}

TEST(Sha1Test, RejectsContextsThatCannotBeValid) {
    const auto data = pseudoRandom(300);
    const std::span<const std::uint8_t> all(data);
    const std::string expected = Sha1::toHex(Sha1::hash(data));

    Sha1 h;
    h.update(all.first(100));
    const Sha1::Context good = h.save();

    for (std::uint32_t index : {64u, 65u, 0xFFFFu, 0x00010000u, 0x80000000u, 0xFFFFFFFFu}) {
        Sha1::Context bad = good;
        putLe(bad, 28, index);
        EXPECT_FALSE(h.restore(bad)) << "index " << index;
    }
    const std::vector<std::uint8_t> shortContext(good.begin(), good.end() - 1);
    EXPECT_FALSE(h.restore(shortContext));
    std::vector<std::uint8_t> longContext(good.begin(), good.end());
    longContext.push_back(0);
    EXPECT_FALSE(h.restore(longContext));

    // A rejected restore leaves the running hash as it was.
    EXPECT_EQ(h.save(), good);
    h.update(all.subspan(100));
    EXPECT_EQ(hexOf(h), expected);
}

} // namespace
} // namespace pf
