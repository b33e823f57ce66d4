#pragma once
// The engine's call interface: plain calls over opaque task handles. No call
// throws; failures are negative codes. This header is all an application
// needs of the engine.
#include <cstdint>

namespace pf {

// Names a task from CreateTask/RecoverTask until StopEngine. Never reused
// while its task lives.
using TaskHandle = uint32_t;

constexpr int kEngineTextSize = 4096;

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
  int32_t progress;    // hundredths of a percent
  int32_t state;       // task state code
  int32_t speed;       // bytes per second
  int32_t remaining;   // seconds, 0 = no estimate
  int32_t totalKB;
  int32_t reserved;
  int64_t httpBytes;
  int64_t peerBytes;
  int64_t doneBytes;
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

int32_t StartEngine(const char* argument);
int32_t StopEngine();

int32_t CreateTask(TaskParams* params);
int32_t RecoverTask(TaskParams* params, int force);
int32_t ResumeTask(TaskHandle handle);
int32_t StopTask(TaskHandle handle, int reset);
int32_t StopTasks(const TaskHandle* handles, uint32_t count, int reset, int32_t* results);

int32_t GetTaskInfo(TaskHandle handle, TaskInfo* info);
int32_t IsTaskComplete(TaskHandle handle, int32_t* complete);
// selector 1: download limit, 0: upload limit; KB/s, 0 = unlimited.
int32_t SetTaskRateLimit(TaskHandle handle, int selector, int kilobytesPerSecond);
int32_t SetTaskConnectionLimits(TaskHandle handle, int serverConnections, int peerConnections);

int32_t GetPieceBitmapSize(TaskHandle handle);
int32_t GetPieceBitmap(TaskHandle handle, uint8_t* buffer, int32_t length);

int32_t ClearMirrorSources(TaskHandle handle);
int32_t AddMirrorSource(TaskHandle handle, const char* addresses, const char* hostNames);

int32_t SetListenPort(int port);
int32_t SetP2PEnabled(int enabled);
void SetHttpPreamble(int enabled);
// The local IPv4 address (dotted) the listener and every connection use, for
// a machine with several; null or "" = any. -101 when it does not parse.
int32_t SetLocalAddress(const char* dotted);

// Free bytes available to this user on the file system of an absolute path;
// 0 for a relative path or on failure.
uint64_t GetDiskFreeBytes(const char* path);
// Bytes allocated on disk for the file, or else for its ".pftmp" companion;
// 0 when neither exists, -1 when they cannot be examined.
int64_t GetFileAllocatedSize(const char* path);

}  // namespace pf
