// The package verification's digest loop on the given files (what the
// verification thread runs for each file, progress included): prints each
// file's MD5 as `md5sum` does, for timing next to `openssl md5`.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/FileDigest.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pf_verify_speed FILE...\n");
    return 2;
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    std::atomic<uint32_t> progress{0};
    const std::string digest = pf::FileMd5(argv[i], &progress);
    if (digest.empty()) {
      std::fprintf(stderr, "pf_verify_speed: cannot read %s\n", argv[i]);
      failed = 1;
      continue;
    }
    std::printf("%s  %s\n", digest.c_str(), argv[i]);
  }
  return failed;
}
