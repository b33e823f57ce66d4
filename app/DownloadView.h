#pragma once
// What the window shows of the download, as texts: the status (speed or
// activity), the progress label and percentage, the end banner, the size,
// the bar values, each file's line and which action button is offered.
// The window and the terminal front end draw the same texts.
#include <array>
#include <cstdint>
#include <string>

#include "app/DownloadState.h"

namespace pf {

class DownloadController;

// The one action button of the window and its state.
enum class ActionButton { kNone, kStart, kPause, kResume, kInstall };

struct ActionOffer {
  ActionButton button = ActionButton::kNone;
  bool enabled = false;
  // The folder button reads "修改" (choose) before the download and "查看"
  // (show) after it started.
  bool folderShows = false;
};

struct DownloadViewTexts {
  DownloadState state = DownloadState::kReady;
  std::string status;         // speed or activity; empty while the banner shows
  std::string progressLabel;  // "当前进度:", "验证进度:" or "修复进度:"
  std::string percent;        // "%3.2f%%", or "准备中"
  std::string banner;         // "下载完成", "√ 验证通过", "√ 修复成功"; else empty
  std::string size;           // "present/package"
  uint32_t downloadBar = 0;   // hundredths of a percent
  uint32_t verificationBar = 0;
  bool verificationBarShown = false;
  std::array<std::string, 4> fileTexts;
};

class DownloadView {
 public:
  static constexpr const char* kTitle = "Velmora下载器";
  static constexpr const char* kFolderLabel = "保存位置:";

  // The texts of one redraw; measures the speed on the way, as the window
  // does. Call it from one thread (it counts the repair redraws).
  DownloadViewTexts Read(DownloadController& controller);

  // Whether the verification bar is drawn over the download bar.
  static bool ShowsVerificationBar(DownloadState state);

  // The buttons for a state and the disk-short flag.
  static ActionOffer Offer(DownloadState state, bool diskShort, ActionOffer previous);

  // One file's line of the list ("√ 下载完成  ", "12.34%    ", ...).
  static std::string FileText(DownloadController& controller, int index, DownloadState state);

 private:
  uint32_t repairRedraws_ = 0;
};

// "%3.2f%%" of hundredths of a percent.
std::string FormatHundredths(uint32_t hundredths);

}  // namespace pf
