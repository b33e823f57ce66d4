#pragma once
// A one-line progress bar on standard error, drawn only on a terminal and at
// most a few times a second.
#include <chrono>
#include <cstdint>
#include <string>

namespace pftool {

class ProgressBar {
 public:
  explicit ProgressBar(std::string label);
  // done of total; extra is printed after the percentage.
  void Show(int64_t done, int64_t total, const std::string& extra = "");
  // Ends the line (when a bar was drawn).
  void Finish();

 private:
  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace pftool
