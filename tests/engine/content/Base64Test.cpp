#include "engine/content/Base64.h"

#include <gtest/gtest.h>

#include <string>

namespace pf {
namespace {

TEST(Base64Test, Rfc4648Vectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        // Proxy credentials as sent in Proxy-Authorization.
        {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(Base64::encode(plain), encoded);
        EXPECT_EQ(Base64::decode(encoded), plain);
    }
}

TEST(Base64Test, RoundTripsEveryByteValueAtEveryTailLength) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t n = 250; n <= 256; ++n) {
        const std::string data = all.substr(256 - n); // ends with 0xff so '+' and '/' occur
        const std::string encoded = Base64::encode(data);
        EXPECT_EQ(encoded.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(Base64::decode(encoded), data) << n;
    }
}

TEST(Base64Test, RejectsMalformedInput) {
    const char* bad[] = {
        "Zg=",      // length not a multiple of 4
        "Zm9vY",    // same, no padding
        "Zg==Zg==", // padding before the end
        "Zm=v",     // "=" inside a group
        "Z===",     // too much padding
        "====",     //
        "Zm9v\n",   // line breaks are not part of the alphabet
        "Zm 9",     // nor are spaces
        "-_8=",     // URL-safe alphabet
        "Zm9\x80",  // high byte
        "Zh==",     // unused bits not zero: not the encoding of any byte string
        "Zm9=",     //
    };
    for (const char* text : bad)
        EXPECT_EQ(Base64::decode(text), std::nullopt) << text;
}

} // namespace
} // namespace pf
