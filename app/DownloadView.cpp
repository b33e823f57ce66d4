#include "app/DownloadView.h"

#include <cstdio>

#include "app/CheckThread.h"
#include "app/DownloadController.h"
#include "app/FigureFormats.h"

namespace pf {
namespace {

constexpr uint32_t kRepairTextRedraws = 12;  // the repair status turns every 12 redraws
constexpr uint32_t kRepairWordRedraws = 4;   // of which the first 4 show the word

std::string Hundredths(const char* format, uint32_t value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value / 100, value % 100);
  return text;
}

}  // namespace

bool DownloadView::ShowsVerificationBar(DownloadState s) {
  return s == DownloadState::kMd5Checking || s == DownloadState::kCheckRecover ||
         s == DownloadState::kCheckFinished || s == DownloadState::kInstalling;
}

std::string FormatHundredths(uint32_t hundredths) {
  char text[32];
  std::snprintf(text, sizeof text, "%3.2f%%", hundredths / 100.0);
  return text;
}

DownloadViewTexts DownloadView::Read(DownloadController& c) {
  DownloadViewTexts t;
  const CheckThread& checker = c.Checker();
  // The speed text is asked for in every state: each redraw measures.
  const std::string speed = c.SpeedText();
  const DownloadState s = c.State();
  t.state = s;
  const uint32_t overall = c.OverallProgress();

  if (s == DownloadState::kFinished || s == DownloadState::kInstalling) {
    t.banner = "下载完成";
  } else if (s == DownloadState::kCheckFinished) {
    t.banner = checker.MismatchSeen() ? "√ 修复成功" : "√ 验证通过";
  }

  if (s == DownloadState::kMd5Checking) {
    t.status = "文件验证中...";
  } else if (s == DownloadState::kCheckRecover) {
    const uint32_t redraw = repairRedraws_++;
    if (checker.RepairProgress() == 0)
      t.status = "修复准备...";
    else if (redraw % kRepairTextRedraws < kRepairWordRedraws)
      t.status = "修复中...";
    else
      t.status = FormatSpeed(checker.RepairSpeed());
  } else {
    t.status = speed;
  }

  if (s == DownloadState::kMd5Checking || s == DownloadState::kCheckFinished) {
    t.progressLabel = "验证进度:";
    t.percent = FormatHundredths(checker.Progress());
  } else if (s == DownloadState::kCheckRecover) {
    t.progressLabel = "修复进度:";
    t.percent = checker.RepairProgress() == 0 ? "准备中" : FormatHundredths(checker.RepairProgress());
  } else {
    t.progressLabel = "当前进度:";
    t.percent = FormatHundredths(overall);
  }
  if (!t.banner.empty()) t.status.clear();

  t.size = c.PackageSizeText();
  t.downloadBar = overall;
  t.verificationBarShown = ShowsVerificationBar(s);
  t.verificationBar = checker.Progress();
  for (int i = 0; i < DownloadController::kFileCount; ++i) t.fileTexts[i] = FileText(c, i, s);
  return t;
}

std::string DownloadView::FileText(DownloadController& c, int i, DownloadState s) {
  const CheckThread& checker = c.Checker();
  const int current = checker.CurrentFile();
  if (c.IsFileComplete(i)) {
    if (s == DownloadState::kMd5Checking) {
      if (i > current) return "待验证    ";
      if (i < current) return "√ 验证通过  ";
      return "验证中：" + Hundredths("%u.%02u%%  ", checker.DigestProgress());
    }
    if (s == DownloadState::kCheckRecover) {
      if (i > current) return "待验证    ";
      if (i < current) return "√ 验证通过  ";
      if (checker.RepairProgress() > 0) return "修复中：" + Hundredths("%u.%02u%%  ", checker.RepairProgress());
      return "准备修复.. ";
    }
    if (s == DownloadState::kCheckFinished) return "√ 验证通过  ";
    return "√ 下载完成  ";
  }
  const int32_t progress = c.TaskProgress(i);
  if (progress >= 10000) return "√ 下载完成  ";
  if (progress > 0) return Hundredths("%u.%02u%%    ", static_cast<uint32_t>(progress));
  return s == DownloadState::kDownloading ? "准备下载    " : "未开始    ";
}

ActionOffer DownloadView::Offer(DownloadState state, bool diskShort, ActionOffer previous) {
  ActionOffer o = previous;
  switch (state) {
    case DownloadState::kBack:
    case DownloadState::kReady:
      o.button = ActionButton::kStart;
      o.enabled = !diskShort;
      break;
    case DownloadState::kPreparing:
      o.button = ActionButton::kPause;
      o.enabled = true;
      break;
    case DownloadState::kDownloading:
    case DownloadState::kResume:
      o.button = ActionButton::kPause;
      o.enabled = !diskShort;
      o.folderShows = true;
      break;
    case DownloadState::kPause:
      o.button = ActionButton::kResume;
      o.enabled = !diskShort;
      o.folderShows = true;
      break;
    case DownloadState::kFailed:
      o.enabled = false;
      o.folderShows = true;
      break;
    case DownloadState::kFinished:
    case DownloadState::kCheckFinished:
      o.button = ActionButton::kInstall;
      o.enabled = true;
      o.folderShows = true;
      break;
    case DownloadState::kMd5Checking:
    case DownloadState::kCheckRecover:
      o.button = ActionButton::kInstall;
      o.enabled = false;
      o.folderShows = true;
      break;
    case DownloadState::kRecover:
    case DownloadState::kReload:
      o.button = ActionButton::kPause;
      o.enabled = false;
      break;
    default:
      break;
  }
  return o;
}

}  // namespace pf
