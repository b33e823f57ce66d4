#pragma once
#include <string>
#include <vector>

namespace pf {

// Splits a source-list text into its lines (CR, LF or CR LF end a line) and
// trims control and space bytes (1..32) from both ends of each; bytes of 0x80
// and above are kept. A blank line gives an empty entry; a final line without
// a terminator counts only when it is not empty.
std::vector<std::string> ParseSourceLines(const char* text);

}  // namespace pf
