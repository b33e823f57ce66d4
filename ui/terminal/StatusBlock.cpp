#include "ui/terminal/StatusBlock.h"

#include <cstdio>

#include "app/DownloadController.h"

namespace pf::ui {

const char* ActionLabel(ActionButton button) {
  switch (button) {
    case ActionButton::kStart: return "开始";
    case ActionButton::kPause: return "暂停";
    case ActionButton::kResume: return "继续";
    case ActionButton::kInstall: return "安装";
    case ActionButton::kNone: break;
  }
  return "";
}

std::string HeaderLine(const std::string& savePath) {
  return std::string(DownloadView::kTitle) + "  " + DownloadController::kGameVersionText + "  " +
         DownloadView::kFolderLabel + " " + savePath;
}

std::string StatusLine(const DownloadViewTexts& t, const ActionOffer& offer) {
  std::string line = std::string("[") + DownloadStateName(t.state) + "]";
  if (!t.banner.empty()) {
    line += "  " + t.banner;
  } else {
    if (!t.status.empty()) line += "  " + t.status;
  }
  line += "  " + t.size;
  if (t.banner.empty()) line += "  " + t.progressLabel + " " + t.percent;
  if (offer.button != ActionButton::kNone) {
    line += std::string("  [") + ActionLabel(offer.button) + (offer.enabled ? ": Enter]" : ": —]");
  }
  line += "  f 文件  q 退出";
  return line;
}

std::vector<std::string> FileLines(const DownloadViewTexts& t, const PackageTable& package) {
  std::vector<std::string> lines;
  for (int i = 0; i < PackageTable::kFileCount; ++i) {
    char line[512];
    std::snprintf(line, sizeof line, "  %-20s %s", package.files[i].fileName.c_str(), t.fileTexts[i].c_str());
    lines.emplace_back(line);
  }
  return lines;
}

}  // namespace pf::ui
