#pragma once
// The window's texts laid out for a terminal: a header line, the status
// line (state, speed or banner, size, progress, the action button) and the
// file list.
#include <string>
#include <vector>

#include "app/DownloadView.h"
#include "app/PackageTable.h"

namespace pf::ui {

// The label of the action button ("开始", "暂停", "继续", "安装").
const char* ActionLabel(ActionButton button);

std::string HeaderLine(const std::string& savePath);
std::string StatusLine(const DownloadViewTexts& texts, const ActionOffer& offer);
std::vector<std::string> FileLines(const DownloadViewTexts& texts, const PackageTable& package);

}  // namespace pf::ui
