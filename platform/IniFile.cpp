#include "platform/IniFile.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace pf::platform {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The section name of a "[name]" line, or false for any other line.
bool SectionOf(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(t.substr(1, close - 1));
  return true;
}

// Splits a "key=value" line; comment lines and lines without "=" are not keys.
bool KeyOf(const std::string& line, std::string* key, std::string* value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  return true;
}

}  // namespace

std::string IniFile::ReadString(const std::string& path, const std::string& section,
                                const std::string& key, const std::string& defaultValue) {
  bool inSection = false;
  for (const std::string& line : ReadLines(path)) {
    std::string name, k, v;
    if (SectionOf(line, &name)) {
      inSection = SameName(name, section);
    } else if (inSection && KeyOf(line, &k, &v) && SameName(k, key)) {
      if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
        v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return defaultValue;
}

int IniFile::ReadInt(const std::string& path, const std::string& section, const std::string& key,
                     int defaultValue) {
  const std::string text = ReadString(path, section, key, std::string());
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return defaultValue;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > 2147483647LL) value = 2147483647LL;
  if (value < -2147483647LL - 1) value = -2147483647LL - 1;
  return static_cast<int>(value);
}

bool IniFile::WriteString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& value) {
  std::vector<std::string> lines = ReadLines(path);
  const std::string entry = key + "=" + value;
  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;  // where a new key of the section goes
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionOf(lines[i], &name)) {
      if (inSection) break;
      inSection = SameName(name, section);
      if (inSection) sectionEnd = i + 1;
    } else if (inSection) {
      if (KeyOf(lines[i], &k, &v) && SameName(k, key)) {
        lines[i] = entry;
        done = true;
      } else if (!Trim(lines[i]).empty()) {
        sectionEnd = i + 1;
      }
    }
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const std::string& line : lines) out << line << "\r\n";
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace pf::platform
