#include "app/EmbeddedPackage.h"

#include "app/Base64.h"

namespace pf {

std::string_view FindEmbeddedResource(std::string_view type, int id) {
  for (size_t i = 0; i < kEmbeddedPackage.resourceCount; ++i) {
    const EmbeddedResource& r = kEmbeddedPackage.resources[i];
    if (r.id == id && type == r.type) return {reinterpret_cast<const char*>(r.bytes), r.size};
  }
  return {};
}

std::string DecodedEmbeddedResource(std::string_view type, int id) {
  constexpr size_t kDecodeBuffer = 4096;
  std::string text = DecodeBase64(FindEmbeddedResource(type, id)).value_or(std::string());
  if (text.size() > kDecodeBuffer - 1) text.resize(kDecodeBuffer - 1);
  return text.substr(0, text.find('\0'));
}

}  // namespace pf
