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

}  // namespace

std::string EscapeUrl(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x21 && b <= 0x7F) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string EscapeRequestTarget(std::string_view decoded) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(decoded.size());
  for (char c : decoded) {
    const auto b = static_cast<unsigned char>(c);
    const bool plain = b > 0x20 && b < 0x7F && !std::strchr("%\"<>\\^`{|}#", c);
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
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
