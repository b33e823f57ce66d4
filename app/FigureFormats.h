#pragma once
// How the application prints its figures.
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

}  // namespace pf
