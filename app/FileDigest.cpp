#include "app/FileDigest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "engine/base/EngineTypes.h"

namespace pf {
namespace {

constexpr uint64_t kBlock = 4096;
// Read in larger pieces than the progress unit: the same figures, fewer calls.
constexpr size_t kReadSize = 1 << 20;

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string FileMd5(const std::string& path, std::atomic<uint32_t>* progress) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::string();
  const std::streamoff end = in.tellg();
  if (end < 0) return std::string();
  in.seekg(0);
  const uint64_t blocks = static_cast<uint64_t>(end) / kBlock;
  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return std::string();
  std::vector<char> buffer(kReadSize);
  uint64_t read = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got)) != 1) return std::string();
    read += static_cast<uint64_t>(got);
    if (progress && blocks > 0) {
      // A last partial block counts as a block, as block-wise reading does.
      const uint64_t blocksRead = (read + kBlock - 1) / kBlock;
      *progress = static_cast<uint32_t>(blocksRead * kProgressWhole / blocks);
    }
  }
  if (in.bad()) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::string();
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace pf
