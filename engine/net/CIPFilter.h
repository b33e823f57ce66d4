#pragma once
// Ranges of blocked IPv4 addresses, loaded from a filter file of lines
// "first-last level" (e.g. "10.0.0.1-10.0.0.9 100"); lines at or above
// `maxLevel` are ignored. Every outgoing and incoming connection is tested
// against it.
#include <cstdint>
#include <map>
#include <string>

namespace pf {

class CIPFilter {
 public:
  static constexpr int kDefaultMaxLevel = 127;
  // Longer lines are read in parts, as the file's readers always did.
  static constexpr size_t kMaxLine = 510;

  // Clears the filter and reads `path`: the growth in ranges, or -1 when
  // the file cannot be opened.
  int Load(const std::string& path);
  // `ip`: the four address bytes in network order.
  bool IsBlocked(uint32_t ip) const;
  void Clear();
  // Adds first..last (host order) unless an existing range holds it;
  // ranges it overlaps are merged into it.
  void AddRange(uint32_t first, uint32_t last);
  size_t RangeCount() const { return ranges.size(); }

  int maxLevel = kDefaultMaxLevel;
  std::map<uint32_t, uint32_t> ranges;  // last address -> first address, host order
};

}  // namespace pf
