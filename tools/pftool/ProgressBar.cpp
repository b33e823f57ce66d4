#include "ProgressBar.h"

#include <cstdio>

#include "platform/Terminal.h"

namespace pftool {

ProgressBar::ProgressBar(std::string label)
    : label_(std::move(label)), enabled_(pf::platform::StderrIsTerminal()) {}

void ProgressBar::Show(int64_t done, int64_t total, const std::string& extra) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  drawn_ = true;
  const int width = 30;
  const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
  const int filled = static_cast<int>(fraction * width);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(width - filled), '.');
  std::fprintf(stderr, "\r%s [%s] %5.1f%% %s\x1b[K", label_.c_str(), bar.c_str(), fraction * 100.0,
               extra.c_str());
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (enabled_ && drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

}  // namespace pftool
