#include "engine/net/UrlEscape.h"

#include <cstring>

namespace pf {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// Every byte that `keep` refuses becomes "%" and two digits of `hex`.
template <typename Keep>
std::string EscapeBytes(std::string_view text, const char* hex, Keep keep) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (keep(b)) {
      out += c;
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out;
}

}  // namespace

std::string EscapeUrl(std::string_view text) {
  return EscapeBytes(text, "0123456789abcdef", [](unsigned char b) { return b >= 0x21 && b <= 0x7F; });
}

std::string EscapeRequestTarget(std::string_view decoded) {
  return EscapeBytes(decoded, "0123456789ABCDEF", [](unsigned char b) {
    return b > 0x20 && b < 0x7F && !std::strchr("%\"<>\\^`{|}#", static_cast<char>(b));
  });
}

std::string UnescapeUrl(std::string_view text, size_t maxBytes) {
  std::string out;
  out.reserve(text.size() < maxBytes ? text.size() : maxBytes);
  for (size_t i = 0; i < text.size() && out.size() < maxBytes; ++i) {
    char c = text[i];
    if (c == '%') {
      if (text.size() - i < 3) break;
      c = static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    }
    // The decoded text is used as a C string further on; a 0 byte ends it.
    if (c == '\0') break;
    out += c;
  }
  return out;
}

}  // namespace pf
