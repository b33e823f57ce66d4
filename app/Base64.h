#pragma once
// Base64 (standard alphabet, padded) for the build-time texts.
#include <optional>
#include <string>
#include <string_view>

namespace pf {

// The decoded bytes; nothing when `text` is not padded standard base64.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace pf
