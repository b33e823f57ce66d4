#pragma once
#include <cstdint>

namespace pf {

// Where the download of the package stands; the values are those the log
// and the window know.
enum class DownloadState : uint32_t {
  kBack = 0,
  kReady = 1,
  kPreparing = 3,
  kDownloading = 4,
  kPause = 5,
  kResume = 6,
  kFailed = 7,
  kFinished = 8,
  kRetry = 9,
  kMd5Checking = 10,
  kCheckRecover = 11,
  kCheckFinished = 12,
  kInstalling = 13,
  kRecover = 15,
  kReload = 16,
  kExited = 17,
};

// The name the log uses ("back", "ready", ...).
const char* DownloadStateName(DownloadState state);
// Downloading time is counted and speeds are measured in these.
bool IsActiveState(DownloadState state);

}  // namespace pf
