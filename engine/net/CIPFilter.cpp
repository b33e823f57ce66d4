#include "engine/net/CIPFilter.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace pf {
namespace {

// Four dot-separated decimal numbers, each kept modulo 256, the first
// highest.
uint32_t ReadAddress(std::string_view text) {
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    uint32_t value = 0;
    size_t i = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) value = value * 10 + (text[i++] - '0');
    address = address << 8 | (value & 0xFF);
    const size_t dot = text.find('.');
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  }
  return address;
}

}  // namespace

void CIPFilter::Clear() {
  ranges.clear();
  maxLevel = kDefaultMaxLevel;
}

void CIPFilter::AddRange(uint32_t first, uint32_t last) {
  auto it = ranges.lower_bound(first);  // the first range that ends at or after `first`
  if (it != ranges.end() && it->second <= first && it->first >= last) return;
  while (it != ranges.end() && it->second <= last) {
    first = std::min(first, it->second);
    last = std::max(last, it->first);
    it = ranges.erase(it);
  }
  ranges.emplace(last, first);
}

int CIPFilter::Load(const std::string& path) {
  Clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  const size_t before = ranges.size();
  std::string whole;
  while (std::getline(in, whole)) {
    for (size_t from = 0; from < whole.size() || from == 0; from += kMaxLine) {
      std::string_view line = std::string_view(whole).substr(from, kMaxLine);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty() || line.front() == '#') continue;
      size_t start = 0;
      while (start < line.size() && line[start] >= 1 && line[start] <= 32) ++start;
      line.remove_prefix(start);
      if (line.empty() || !std::isdigit(static_cast<unsigned char>(line.front()))) continue;
      const size_t dash = line.find('-');
      const size_t space = line.find(' ');
      if (dash == std::string_view::npos || space == std::string_view::npos || dash > space) continue;
      const uint32_t first = ReadAddress(line.substr(0, dash));
      const uint32_t last = ReadAddress(line.substr(dash + 1, space - dash - 1));
      std::string_view rest = line.substr(space + 1);
      while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
      const int level = std::atoi(std::string(rest).c_str());
      if (level >= maxLevel || last < first) continue;
      AddRange(first, last);
    }
  }
  // Merging may leave fewer ranges than before; that is no failure.
  return ranges.size() > before ? static_cast<int>(ranges.size() - before) : 0;
}

bool CIPFilter::IsBlocked(uint32_t ip) const {
  if (ranges.empty()) return false;
  const uint32_t host = ntohl(ip);
  const auto it = ranges.lower_bound(host);
  return it != ranges.end() && it->second <= host;
}

}  // namespace pf
