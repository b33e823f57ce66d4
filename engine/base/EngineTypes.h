#pragma once
// The types and codes of the engine's call interface, shared by the engine's
// layers and its callers.
#include <cstdint>

namespace pf {

// Names a task from CreateTask/RecoverTask until StopEngine. Never reused
// while its task lives.
using TaskHandle = uint32_t;

constexpr int kEngineTextSize = 4096;
// Progress figures count hundredths of a percent: this one is the whole.
constexpr int32_t kProgressWhole = 10000;

// Bits of TaskParams::flags.
enum TaskFlag : uint32_t {
  kTaskTargetIsFile = 0x2,          // target is the full path of the file
  kTaskSizesOnlyCheck = 0x20,       // start-up check compares sizes only
  kTaskBitTorrent = 0x10000,
  kTaskRecorded = 0x100000,         // noted by CreateTask, no other effect
  kTaskP2SP = 0x1000000,
};

// Describes a new task. The caller zero-fills it and keeps it alive during
// the call.
struct TaskParams {
  uint32_t reserved[2];
  char key[kEngineTextSize];          // P2SP: file:// address of the torrent
  const char* sourceList;             // source addresses, one per line
  char target[kEngineTextSize];       // save folder, or the file (kTaskTargetIsFile)
  char resumePath[kEngineTextSize];   // task state file
  uint32_t flags;
  TaskHandle handle;                  // out
};

// Filled by GetTaskInfo (zeroed first).
struct TaskInfo {
  char name[kEngineTextSize];
  int32_t progress;    // hundredths of a percent, up to kProgressWhole
  int32_t state;       // task state code
  int32_t speed;       // bytes per second
  int32_t remaining;   // seconds, 0 = no estimate
  int32_t totalKB;
  int32_t notices;     // source notices so far (GetSourceNotice)
  int64_t httpBytes;
  int64_t peerBytes;
  int64_t doneBytes;
};

// What a task's source notice is about (GetSourceNotice).
enum SourceNoticeKind : int32_t {
  kNoticeSource = 0,           // one source failed, or is read another way
  kNoticeWaitingForPeers = 1,  // no mirror left; peers may still come
  kNoticeNoSourceLeft = 2,     // nothing left that could deliver
};

// Task state codes (TaskInfo::state).
enum TaskState : int32_t {
  kStateNone = 0,
  kStateComplete = 20206,
  kStateNoMetadata = 20209,
  kStateDiskFull = 20210,
  kStateTorrentUnreadable = 20211,
  kStateGaveUp = 20214,
  kStateSizeUnreadable = 20215,
  kStateHostUnresolved = 20216,
};

// Results of the calls.
enum EngineResult : int32_t {
  kOk = 0,
  kErrBadArgument = -101,
  kErrSockets = -102,
  kErrDuplicateTask = -105,
  kErrNotRegistered = -106,
  kErrException = -107,
  kErrOutOfMemory = -109,
};

}  // namespace pf
