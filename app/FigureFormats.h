#pragma once
// How the application prints its figures.
#include <cstddef>
#include <cstdint>
#include <string>

namespace pf {

// Bytes: empty for 0, "%u B" below 1 KB, else one decimal in KB, MB, GB or TB.
std::string FormatSize(uint64_t bytes);
// Bytes a second: "%u B/s" below 1 KB/s, one decimal in KB/s, MB/s or GB/s,
// "未知" from 0xCCCCCCCC on.
std::string FormatSpeed(uint32_t bytesPerSecond);
// Hundredths of a percent: "0%", "50%", "50.01%".
std::string FormatPercent(uint32_t hundredths);

// "done/package": the package size on both sides once finished; otherwise
// the bytes present, "0 B" for none (the size format prints nothing for 0).
std::string SizeText(uint64_t bytesPresent, uint64_t packageSize, bool finished);

// The text getters' convention: without a buffer, the text's length; with a
// buffer too small for the text and its terminator, 0; otherwise the text
// and terminator copied and its length.
size_t CopyTextOut(const std::string& text, char* buffer, size_t bufferSize);

}  // namespace pf
