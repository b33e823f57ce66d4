#include "app/TaskLinkFile.h"

#include "platform/IniFile.h"

namespace pf {

int TaskLinkFile::HttpConnectionBudget(const std::string& path) {
  const int budget = platform::IniFile::ReadInt(path, "PelicanfetchTask", "PelicanfetchTaskLink", 0);
  return budget < 10 || budget > 200 ? kDefaultBudget : budget;
}

}  // namespace pf
