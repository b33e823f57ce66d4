#pragma once
// Reads and writes INI files the way the Windows private-profile calls do:
// section and key names match without regard to letter case, a missing file,
// section or key gives the default, and a write creates what is missing.
#include <string>

namespace pf::platform {

class IniFile {
 public:
  // The value with surrounding blanks removed; one pair of enclosing quotes
  // is dropped as well.
  static std::string ReadString(const std::string& path, const std::string& section,
                                const std::string& key, const std::string& defaultValue);
  // Leading decimal digits (optionally signed) of the value; the default when
  // the key is missing or the value does not start with a number.
  static int ReadInt(const std::string& path, const std::string& section, const std::string& key,
                     int defaultValue);
  // Sets key = value, replacing the key's line or adding it (and the section)
  // at the end of the section; false when the file cannot be written.
  static bool WriteString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& value);
};

}  // namespace pf::platform
