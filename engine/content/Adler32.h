#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace pf {

// Adler-32 (RFC 1950). The start value is the caller's: the resume records
// chain checksums by starting from a piece index or from an earlier checksum
// instead of the usual 1.
class Adler32 {
public:
    explicit Adler32(std::uint32_t start = 1) : value_(start) {}

    void update(const void* data, std::size_t size);
    void update(std::span<const std::uint8_t> data) { update(data.data(), data.size()); }
    void update(std::string_view data) { update(data.data(), data.size()); }

    // With no input this is the start value exactly as given, as in RFC 1950's
    // sample code; after any input both halves are reduced modulo 65521.
    std::uint32_t value() const { return value_; }

    // No (pointer, size) form here: with a defaulted start, compute("abc", 0)
    // would silently bind to it as an empty buffer.
    static std::uint32_t compute(std::span<const std::uint8_t> data, std::uint32_t start = 1);
    static std::uint32_t compute(std::string_view data, std::uint32_t start = 1);

private:
    std::uint32_t value_;
};

} // namespace pf
