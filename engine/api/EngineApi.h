#pragma once
// The engine's call interface: plain calls over opaque task handles. No call
// throws; failures are negative codes. This header is all an application
// needs of the engine.
#include <cstdint>

#include "engine/base/EngineTypes.h"

namespace pf {

int32_t StartEngine(const char* argument);
int32_t StopEngine();

int32_t CreateTask(TaskParams* params);
int32_t RecoverTask(TaskParams* params, int force);
int32_t ResumeTask(TaskHandle handle);
int32_t StopTask(TaskHandle handle, int reset);
int32_t StopTasks(const TaskHandle* handles, uint32_t count, int reset, int32_t* results);

int32_t GetTaskInfo(TaskHandle handle, TaskInfo* info);
int32_t IsTaskComplete(TaskHandle handle, int32_t* complete);
// The task's notices about its sources, oldest first (TaskInfo::notices
// counts them): kOk with its SourceNoticeKind and text (cut to `size`),
// kErrBadArgument past the last.
int32_t GetSourceNotice(TaskHandle handle, int32_t index, int32_t* kind, char* text, int32_t size);
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
// Trusts the PEM certificates in `pem` (a CA of the caller's own servers),
// besides the system's store, for every HTTPS connection made from now on:
// the number taken, or -101 when the text holds none.
int32_t AddTrustedCertificates(const char* pem);

// Free bytes available to this user on the file system of an absolute path;
// 0 for a relative path or on failure.
uint64_t GetDiskFreeBytes(const char* path);
// Bytes allocated on disk for the file, or else for its ".pftmp" companion;
// 0 when neither exists, -1 when they cannot be examined.
int64_t GetFileAllocatedSize(const char* path);

}  // namespace pf
