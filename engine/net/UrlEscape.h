#pragma once
// Percent-escaping of address texts.
#include <cstddef>
#include <string>
#include <string_view>

namespace pf {

// Every byte outside 0x21-0x7F becomes "%" and two lower-case hex digits.
std::string EscapeUrl(std::string_view text);

// "%" and two characters become one byte: hex digits in either case, any
// other character counting as 0. A "%" with fewer than two characters after
// it, a decoded 0 byte, or reaching maxBytes of output ends the decoding.
// "+" stays as it is.
std::string UnescapeUrl(std::string_view text, size_t maxBytes = 4096);

// A decoded path (and query) as a request line carries it: every byte that
// may not stand in a URI path as it is (blanks, "%", non-ASCII bytes, control
// characters, "\"", "<", ">", "\\", "^", "`", "{", "|", "}", "#") becomes "%"
// and two upper-case hex digits; "/", "?", "=", "&" and the rest stay.
std::string EscapeRequestTarget(std::string_view decoded);

}  // namespace pf
