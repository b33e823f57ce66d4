#include "app/DownloadState.h"

namespace pf {

const char* DownloadStateName(DownloadState state) {
  switch (state) {
    case DownloadState::kBack: return "back";
    case DownloadState::kReady: return "ready";
    case DownloadState::kPreparing: return "preparing";
    case DownloadState::kDownloading: return "downloading";
    case DownloadState::kPause: return "pause";
    case DownloadState::kResume: return "resume";
    case DownloadState::kFailed: return "failed";
    case DownloadState::kFinished: return "finished";
    case DownloadState::kRetry: return "retry";
    case DownloadState::kMd5Checking: return "md5checking";
    case DownloadState::kCheckRecover: return "checkrecover";
    case DownloadState::kCheckFinished: return "checkfinished";
    case DownloadState::kInstalling: return "installing";
    case DownloadState::kRecover: return "recover";
    case DownloadState::kReload: return "reload";
    case DownloadState::kExited: return "exited";
  }
  return "";
}

bool IsActiveState(DownloadState state) {
  switch (state) {
    case DownloadState::kPreparing:
    case DownloadState::kDownloading:
    case DownloadState::kResume:
    case DownloadState::kRetry:
    case DownloadState::kRecover:
    case DownloadState::kReload:
      return true;
    default:
      return false;
  }
}

}  // namespace pf
