#pragma once
// Text conversion between code pages, named by their Windows numbers so that
// torrent metadata can say which one its texts use.
#include <optional>
#include <string>
#include <string_view>

namespace pf::platform {

// The local ("ANSI") code page. On Linux texts are UTF-8.
inline constexpr int kLocalCodePage = 0;
inline constexpr int kUtf8CodePage = 65001;

// True when texts in the code page can be converted (0 names the local one).
bool IsCodePageSupported(int codePage);

// Converts text from one code page to another the way a round trip through
// UTF-16 does on Windows: a byte sequence that is not valid in the source
// becomes U+FFFD, a character the target cannot represent becomes '?'.
// nullopt when either code page is unknown.
std::optional<std::string> ConvertCodePage(std::string_view text, int fromCodePage,
                                           int toCodePage);

}  // namespace pf::platform
