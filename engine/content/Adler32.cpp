#include "engine/content/Adler32.h"

namespace pf {

namespace {

constexpr std::uint32_t kBase = 65521;
// Most bytes that can be summed before s2 could overflow 32 bits, even when
// both halves start at 65535 (an unreduced start value).
constexpr std::size_t kMaxRun = 5552;

} // namespace

void Adler32::update(const void* data, std::size_t size) {
    if (size == 0)
        return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t s1 = value_ & 0xffff;
    std::uint32_t s2 = value_ >> 16;
    while (size > 0) {
        std::size_t run = size < kMaxRun ? size : kMaxRun;
        size -= run;
        for (; run >= 8; run -= 8, p += 8) {
            s1 += p[0]; s2 += s1;
            s1 += p[1]; s2 += s1;
            s1 += p[2]; s2 += s1;
            s1 += p[3]; s2 += s1;
            s1 += p[4]; s2 += s1;
            s1 += p[5]; s2 += s1;
            s1 += p[6]; s2 += s1;
            s1 += p[7]; s2 += s1;
        }
        for (; run > 0; --run, ++p) {
            s1 += *p;
            s2 += s1;
        }
        s1 %= kBase;
        s2 %= kBase;
    }
    value_ = s2 << 16 | s1;
}

std::uint32_t Adler32::compute(std::span<const std::uint8_t> data, std::uint32_t start) {
    Adler32 a(start);
    a.update(data);
    return a.value();
}

std::uint32_t Adler32::compute(std::string_view data, std::uint32_t start) {
    Adler32 a(start);
    a.update(data);
    return a.value();
}

} // namespace pf
