#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pf {

// Base64 (RFC 4648), standard alphabet with "=" padding.
class Base64 {
public:
    static std::string encode(std::span<const std::uint8_t> data);
    static std::string encode(std::string_view data);

    // Strict: the length must be a multiple of 4, only alphabet characters
    // with at most two trailing "=", no whitespace, and unused bits of the
    // last group zero. Anything else gives std::nullopt, never partial output.
    static std::optional<std::string> decode(std::string_view text);
};

} // namespace pf
