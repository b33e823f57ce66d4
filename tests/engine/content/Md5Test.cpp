#include "engine/content/Md5.h"

#include <gtest/gtest.h>

#include <string>

namespace pf {
namespace {

TEST(Md5Test, Rfc1321Vectors) {
    struct Case {
        std::string input;
        const char* hex;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        EXPECT_EQ(Md5::hashHex(c.input), c.hex);
    }
}

TEST(Md5Test, IncrementalMatchesOneShotAndFinishStartsOver) {
    std::string data(3000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    const std::string expected = Md5::toHex(Md5::hash(data));

    Md5 h;
    for (std::size_t chunk : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 1000u, 4096u}) {
        for (std::size_t at = 0; at < data.size(); at += chunk)
            h.update(std::string_view(data).substr(at, chunk));
        // The same object is reused: finish must leave it ready for a new message.
        EXPECT_EQ(Md5::toHex(h.finish()), expected) << "chunks of " << chunk;
    }
    h.update("abc");
    EXPECT_EQ(Md5::toHex(h.finish()), "900150983cd24fb0d6963f7d28e17f72");
}

} // namespace
} // namespace pf
