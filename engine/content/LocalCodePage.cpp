#include "engine/content/LocalCodePage.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/CodePage.h"

namespace pf {
namespace {

std::string Convert(const char* bytes, int length, int from, int to) {
  if (!bytes || length == 0) return {};
  if (length < 0) length = static_cast<int>(std::min(std::strlen(bytes), size_t{INT_MAX}));
  const std::string_view text(bytes, static_cast<size_t>(length));
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
    return std::string(text);
  return platform::ConvertCodePage(text, from, to).value_or(std::string());
}

}  // namespace

std::string ToLocalCodePage(const char* bytes, int length, int codePage) {
  return Convert(bytes, length, codePage, platform::kLocalCodePage);
}

std::string FromLocalCodePage(const char* bytes, int length, int codePage) {
  return Convert(bytes, length, platform::kLocalCodePage, codePage);
}

}  // namespace pf
