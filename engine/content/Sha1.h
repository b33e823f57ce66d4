#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pf {

// SHA-1 (RFC 3174) with a running context that can be saved mid-stream and
// restored later, so a half-received piece resumes without rehashing its bytes.
//
// The saved form is the 104-byte context of RFC 3174's reference code, written
// as 32-bit little-endian words:
//   0   five intermediate hash words
//   20  message length in bits, low word then high word
//   28  index into the message block
//   32  the 64-byte message block
//   96  computed flag
//   100 corrupted flag (0, or the RFC's shaInputTooLong / shaStateError code)
class Sha1 {
public:
    static constexpr std::size_t kDigestSize = 20;
    static constexpr std::size_t kContextSize = 104;
    using Digest = std::array<std::uint8_t, kDigestSize>;
    using Context = std::array<std::uint8_t, kContextSize>;

    // Values of the corrupted word, as in RFC 3174.
    static constexpr std::uint32_t kInputTooLong = 2;
    static constexpr std::uint32_t kStateError = 3;

    Sha1();

    void reset();

    // Input after the digest was computed, or past 2^64 bits, marks the
    // context corrupted; a corrupted context ignores further input.
    void update(const void* data, std::size_t size);
    void update(std::span<const std::uint8_t> data) { update(data.data(), data.size()); }
    void update(std::string_view data) { update(data.data(), data.size()); }

    // Pads and computes the digest. Calling it again returns the same digest.
    // Returns false (and leaves `out` untouched) for a corrupted context.
    bool finish(Digest& out);

    bool computed() const { return computed_ != 0; }
    std::uint32_t corrupted() const { return corrupted_; }

    Context save() const;
    // Takes exactly kContextSize bytes. Returns false and leaves this context
    // unchanged when the size is wrong or the block index is not below 64.
    bool restore(std::span<const std::uint8_t> context);

    static Digest hash(const void* data, std::size_t size);
    static Digest hash(std::span<const std::uint8_t> data) { return hash(data.data(), data.size()); }
    static Digest hash(std::string_view data) { return hash(data.data(), data.size()); }

    // 40 lower-case hexadecimal digits.
    static std::string toHex(const Digest& digest);

private:
    // Holds OpenSSL's SHA_CTX (five hash words, bit count, block, index), kept
    // opaque so that users of this header do not pull in OpenSSL.
    alignas(std::uint32_t) std::byte state_[96];
    std::uint32_t computed_ = 0;
    std::uint32_t corrupted_ = 0;
};

} // namespace pf
