#pragma once
// Writes a resource of the program out as a file: into the given folder, or,
// when that fails, into the temporary folder.
#include <string>
#include <string_view>

namespace pf {

struct Extraction {
  enum class Place : int { kFolder = 0, kTemporaryFolder = 1, kNowhere = -1 };
  Place place = Place::kNowhere;
  std::string path;  // the file written; empty when nowhere
};

// Writes `bytes` to folder/fileName (creating the folder), else to the
// temporary folder's fileName; logs each failed attempt.
Extraction ExtractResource(std::string_view bytes, const std::string& folder, const std::string& fileName);

}  // namespace pf
