#include "engine/content/Adler32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pf {
namespace {

// RFC 1950's sample code, reducing after every byte.
std::uint32_t referenceAdler(std::uint32_t adler, const std::vector<std::uint8_t>& data) {
    std::uint32_t s1 = adler & 0xffff, s2 = (adler >> 16) & 0xffff;
    for (std::uint8_t b : data) {
        s1 = (s1 + b) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    return (s2 << 16) + s1;
}

TEST(Adler32Test, KnownValues) {
    EXPECT_EQ(Adler32::compute("Wikipedia"), 0x11E60398u);
    EXPECT_EQ(Adler32::compute(""), 1u);
    // Starting from 0: s1 = 97+98+99, s2 = 97+195+294.
    EXPECT_EQ(Adler32::compute("abc", 0), (586u << 16) | 294u);
}

TEST(Adler32Test, AnyStartValueMatchesReference) {
    // Long enough to need several reductions; bytes of 0xff push the sums hardest.
    std::vector<std::uint8_t> data(3 * 5552 + 17, 0xff);
    for (std::size_t i = 0; i < data.size(); i += 3)
        data[i] = static_cast<std::uint8_t>(i);

    // Piece indexes, a chained checksum, and halves at or above the modulus.
    for (std::uint32_t start : {0u, 1u, 7u, 1023u, 0x11E60398u, 0xFFF0FFF0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(start);
        EXPECT_EQ(Adler32::compute(data, start), referenceAdler(start, data));

        // Feeding in pieces gives the same as one pass; the chaining the
        // resume records rely on.
        Adler32 a(start);
        a.update(std::span(data).first(100));
        a.update(std::span(data).subspan(100));
        EXPECT_EQ(a.value(), referenceAdler(start, data));
        EXPECT_EQ(Adler32::compute(std::span(data).subspan(100), Adler32::compute(std::span(data).first(100), start)),
                  a.value());
    }
}

TEST(Adler32Test, EmptyInputKeepsStartValueAsGiven) {
    for (std::uint32_t start : {0u, 5u, 0xFFFFFFFFu})
        EXPECT_EQ(Adler32::compute("", start), start);
}

} // namespace
} // namespace pf
