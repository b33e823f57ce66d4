#pragma once
// Conversion of torrent texts between their declared code page and the local
// one (UTF-8 here). Pure printable ASCII is passed through untouched.
#include <string>

namespace pf {

// A negative length means NUL-terminated. Empty on null or empty input and
// when the code page cannot be converted.
std::string ToLocalCodePage(const char* bytes, int length, int codePage);
std::string FromLocalCodePage(const char* bytes, int length, int codePage);

}  // namespace pf
