#include "app/Base64.h"

#include <cstdint>

namespace pf {
namespace {

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      const int sextet = k >= 4 - padding ? 0 : SextetOf(text[i + k]);
      if (sextet < 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(sextet);
    }
    out.push_back(static_cast<char>(group >> 16));
    if (padding < 2) out.push_back(static_cast<char>(group >> 8 & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(group & 0xFF));
  }
  return out;
}

}  // namespace pf
