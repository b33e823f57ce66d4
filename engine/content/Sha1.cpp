#include "engine/content/Sha1.h"

// The low-level SHA1_* calls are deprecated in OpenSSL 3 but still shipped;
// they are the only interface that exposes the running state, and they reach
// the same SHA-NI/AVX block code as EVP.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>
#include <limits>
#include <new>

namespace pf {

namespace {

static_assert(sizeof(SHA_CTX) == 96, "SHA_CTX layout changed");
static_assert(alignof(SHA_CTX) <= alignof(std::uint32_t));

SHA_CTX* ctx(std::byte* storage) { return std::launder(reinterpret_cast<SHA_CTX*>(storage)); }
const SHA_CTX* ctx(const std::byte* storage) { return std::launder(reinterpret_cast<const SHA_CTX*>(storage)); }

void putLe(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t getLe(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

constexpr std::size_t kHashOffset = 0;
constexpr std::size_t kLengthOffset = 20;
constexpr std::size_t kIndexOffset = 28;
constexpr std::size_t kBlockOffset = 32;
constexpr std::size_t kComputedOffset = 96;
constexpr std::size_t kCorruptedOffset = 100;
constexpr std::size_t kBlockSize = 64;

} // namespace

Sha1::Sha1() {
    new (state_) SHA_CTX;
    reset();
}

void Sha1::reset() {
    SHA1_Init(ctx(state_));
    computed_ = 0;
    corrupted_ = 0;
}

void Sha1::update(const void* data, std::size_t size) {
    if (size == 0)
        return;
    if (computed_) {
        corrupted_ = kStateError;
        return;
    }
    if (corrupted_)
        return;
    SHA_CTX* c = ctx(state_);
    // The bit count must not reach 2^64.
    const std::uint64_t bits = std::uint64_t{c->Nh} << 32 | c->Nl;
    const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - bits; // bits that still fit
    if (size > room / 8) {
        corrupted_ = kInputTooLong;
        return;
    }
    SHA1_Update(c, data, size);
}

bool Sha1::finish(Digest& out) {
    if (corrupted_)
        return false;
    SHA_CTX* c = ctx(state_);
    if (!computed_) {
        SHA1_Final(out.data(), c);
        // Leave the state as the reference code does after computing: the
        // hash words hold the digest, length, index and block are cleared.
        std::memset(c, 0, sizeof(*c));
        std::uint32_t* h[5] = {&c->h0, &c->h1, &c->h2, &c->h3, &c->h4};
        for (int i = 0; i < 5; ++i)
            *h[i] = std::uint32_t{out[4 * i]} << 24 | std::uint32_t{out[4 * i + 1]} << 16 |
                    std::uint32_t{out[4 * i + 2]} << 8 | out[4 * i + 3];
        computed_ = 1;
        return true;
    }
    const std::uint32_t h[5] = {c->h0, c->h1, c->h2, c->h3, c->h4};
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(h[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(h[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(h[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(h[i]);
    }
    return true;
}

Sha1::Context Sha1::save() const {
    const SHA_CTX* c = ctx(state_);
    Context out{};
    const std::uint32_t h[5] = {c->h0, c->h1, c->h2, c->h3, c->h4};
    for (int i = 0; i < 5; ++i)
        putLe(out.data() + kHashOffset + 4 * i, h[i]);
    putLe(out.data() + kLengthOffset, c->Nl);
    putLe(out.data() + kLengthOffset + 4, c->Nh);
    putLe(out.data() + kIndexOffset, c->num);
    // OpenSSL keeps the pending block as raw message bytes, which is the
    // reference code's Message_Block byte for byte.
    std::memcpy(out.data() + kBlockOffset, c->data, kBlockSize);
    putLe(out.data() + kComputedOffset, computed_);
    putLe(out.data() + kCorruptedOffset, corrupted_);
    return out;
}

bool Sha1::restore(std::span<const std::uint8_t> context) {
    if (context.size() != kContextSize)
        return false;
    const std::uint8_t* p = context.data();
    const std::uint32_t index = getLe(p + kIndexOffset);
    if (index >= kBlockSize)
        return false;
    SHA_CTX* c = ctx(state_);
    std::memset(c, 0, sizeof(*c));
    std::uint32_t* h[5] = {&c->h0, &c->h1, &c->h2, &c->h3, &c->h4};
    for (int i = 0; i < 5; ++i)
        *h[i] = getLe(p + kHashOffset + 4 * i);
    c->Nl = getLe(p + kLengthOffset);
    c->Nh = getLe(p + kLengthOffset + 4);
    c->num = index;
    std::memcpy(c->data, p + kBlockOffset, kBlockSize);
    computed_ = getLe(p + kComputedOffset) != 0 ? 1 : 0;
    corrupted_ = getLe(p + kCorruptedOffset);
    return true;
}

Sha1::Digest Sha1::hash(const void* data, std::size_t size) {
    // SHA1() in OpenSSL 3 fetches the algorithm on every call, which costs
    // measurably on piece-sized inputs; the low-level calls do not.
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, data, size);
    Digest out;
    SHA1_Final(out.data(), &c);
    return out;
}

std::string Sha1::toHex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(2 * digest.size(), '\0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0xf];
    }
    return out;
}

} // namespace pf
