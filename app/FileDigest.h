#pragma once
// The MD5 of a whole file, with progress while it is read.
#include <atomic>
#include <cstdint>
#include <string>

namespace pf {

// 32 lower-case hexadecimal digits, or empty when the file cannot be read.
// `progress` (hundredths of a percent) follows the 4096-byte blocks read:
// blocks read x kProgressWhole / whole blocks of the file.
std::string FileMd5(const std::string& path, std::atomic<uint32_t>* progress = nullptr);

}  // namespace pf
