#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pf {

// MD5 (RFC 1321), used for peer ids and the final whole-file check.
class Md5 {
public:
    static constexpr std::size_t kDigestSize = 16;
    using Digest = std::array<std::uint8_t, kDigestSize>;

    Md5();

    void reset();
    void update(const void* data, std::size_t size);
    void update(std::span<const std::uint8_t> data) { update(data.data(), data.size()); }
    void update(std::string_view data) { update(data.data(), data.size()); }

    // Returns the digest and starts over, ready for the next message.
    Digest finish();

    static Digest hash(const void* data, std::size_t size);
    static Digest hash(std::span<const std::uint8_t> data) { return hash(data.data(), data.size()); }
    static Digest hash(std::string_view data) { return hash(data.data(), data.size()); }

    // 32 lower-case hexadecimal digits, the form the package table uses.
    static std::string toHex(const Digest& digest);
    static std::string hashHex(std::string_view data) { return toHex(hash(data)); }

private:
    // Holds OpenSSL's MD5_CTX, opaque to users of this header.
    alignas(std::uint32_t) std::byte state_[92];
};

} // namespace pf
