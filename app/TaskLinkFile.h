#pragma once
// The hand-edited INI beside the program that may set the HTTP connection
// budget of the whole package. Never written by the program.
#include <string>

namespace pf {

class TaskLinkFile {
 public:
  static constexpr const char* kFileName = "PelicanfetchTaskLink.ini";
  static constexpr int kDefaultBudget = 36;

  // The budget from the file; missing, below 10 or above 200 gives 36.
  static int HttpConnectionBudget(const std::string& path = kFileName);
};

}  // namespace pf
