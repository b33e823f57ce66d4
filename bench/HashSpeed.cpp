// Hash throughput measured the way `openssl speed -evp <md> -bytes N` does it:
// one whole digest per block, timed by the CPU time of the process, so that
// bench/hash_speed.sh can put the two side by side.
//
//   pf_hash_speed sha1|md5 [seconds=3] [bytes=16384]
// prints: <algo> <bytes> <MB/s>   (MB = 10^6 bytes)

#include "engine/content/Md5.h"
#include "engine/content/Sha1.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s sha1|md5 [seconds] [bytes]\n", argv[0]);
        return 2;
    }
    const std::string_view algo = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    const std::size_t bytes = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 16384;
    if ((algo != "sha1" && algo != "md5") || seconds <= 0 || bytes == 0) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }

    std::vector<std::uint8_t> buffer(bytes);
    std::uint32_t x = 2463534242u;
    for (auto& b : buffer) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }

    const std::clock_t limit = static_cast<std::clock_t>(seconds * CLOCKS_PER_SEC);
    const std::clock_t start = std::clock();
    std::clock_t now = start;
    std::uint64_t blocks = 0;
    unsigned sink = 0;
    while (now - start < limit) {
        for (int i = 0; i < 16; ++i) {
            if (algo == "sha1")
                sink += pf::Sha1::hash(buffer.data(), buffer.size())[0];
            else
                sink += pf::Md5::hash(buffer.data(), buffer.size())[0];
            // Feed the digest back so no call can be skipped.
            buffer[0] = static_cast<std::uint8_t>(sink);
        }
        blocks += 16;
        now = std::clock();
    }
    const double elapsed = static_cast<double>(now - start) / CLOCKS_PER_SEC;
    const double mbps = static_cast<double>(blocks) * static_cast<double>(bytes) / elapsed / 1e6;
    std::printf("%.*s %zu %.1f\n", static_cast<int>(algo.size()), algo.data(), bytes, mbps);
    return 0;
}
