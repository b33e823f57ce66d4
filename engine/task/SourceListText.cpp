#include "engine/task/SourceListText.h"

namespace pf {
namespace {

bool IsTrimmed(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 1 && byte <= 32;
}

std::string Trim(const std::string& line) {
  size_t begin = 0, end = line.size();
  while (begin < end && IsTrimmed(line[begin])) ++begin;
  while (end > begin && IsTrimmed(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

}  // namespace

std::vector<std::string> ParseSourceLines(const char* text) {
  std::vector<std::string> lines;
  if (!text) return lines;
  std::string current;
  for (const char* p = text; *p; ++p) {
    if (*p == '\r' || *p == '\n') {
      if (*p == '\r' && p[1] == '\n') ++p;
      lines.push_back(Trim(current));
      current.clear();
    } else {
      current.push_back(*p);
    }
  }
  if (!current.empty()) lines.push_back(Trim(current));
  return lines;
}

}  // namespace pf
