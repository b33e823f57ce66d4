#include "app/Base64.h"

#include <openssl/evp.h>

namespace pf {

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // Padding only at the end: OpenSSL would read a '=' inside as a zero.
  const size_t firstPad = text.find('=');
  if (firstPad != std::string_view::npos && firstPad + 2 < text.size()) return std::nullopt;
  if (firstPad != std::string_view::npos && text.find_first_not_of('=', firstPad) != std::string_view::npos)
    return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  // The decoder counts the padding's bytes as zeros.
  const size_t padding = firstPad == std::string_view::npos ? 0 : text.size() - firstPad;
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

}  // namespace pf
