#include "engine/content/Md5.h"

// MD5_* are deprecated in OpenSSL 3 but still shipped; unlike EVP they need
// no allocation or algorithm fetch per digest.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <new>

namespace pf {

namespace {

static_assert(sizeof(MD5_CTX) == 92, "MD5_CTX layout changed");
static_assert(alignof(MD5_CTX) <= alignof(std::uint32_t));

MD5_CTX* ctx(std::byte* storage) { return std::launder(reinterpret_cast<MD5_CTX*>(storage)); }

} // namespace

Md5::Md5() {
    new (state_) MD5_CTX;
    reset();
}

void Md5::reset() { MD5_Init(ctx(state_)); }

void Md5::update(const void* data, std::size_t size) {
    if (size != 0)
        MD5_Update(ctx(state_), data, size);
}

Md5::Digest Md5::finish() {
    Digest out;
    MD5_Final(out.data(), ctx(state_));
    reset();
    return out;
}

Md5::Digest Md5::hash(const void* data, std::size_t size) {
    MD5_CTX c;
    MD5_Init(&c);
    MD5_Update(&c, data, size);
    Digest out;
    MD5_Final(out.data(), &c);
    return out;
}

std::string Md5::toHex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(2 * digest.size(), '\0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0xf];
    }
    return out;
}

} // namespace pf
