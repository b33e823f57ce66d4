#pragma once
// The engine's reporting calls: each turns its arguments into one telemetry
// event and queues it for the upload thread. Events reported before the
// upload thread is configured are dropped without a word.
#include <cstdint>
#include <functional>
#include <string>

namespace pf {

// Creates the statistics component on first use, points it at the INI file
// and starts the upload thread. A second call replaces the running thread
// (after it has handed over what it queued). False when the thread does not
// start.
bool CollectDataUpload(const char* configPath, const char* gameId, const char* appVersion,
                       const char* gVersion, const char* dChannel);
// The reporter values of this package: GameID "5", GVersion "v156",
// Dchannel "1".
bool StartTelemetry(const char* configPath, const char* appVersion);
// Stops the upload thread once its queue is empty (the exit steps).
void StopDataUpload();

void ReportTransfer(const char* eventCode, const char* serverIp, const char* httpResult,
                    uint32_t totalTime, uint64_t totalBytes, uint64_t averageSpeed,
                    const char* progress, uint64_t httpTotalBytes, uint64_t httpAverageSpeed,
                    uint64_t p2pTotalBytes, uint64_t p2pAverageSpeed, uint32_t corruptPakId,
                    const char* fileName, const char* url, const char* errorMsg, uint32_t flags);

// One event with a free-form message (diagnostics such as a failed name lookup).
void ReportEvent(const char* eventCode, const char* message, uint32_t flags);

// One event about a file: its name and a message.
void ReportFileEvent(const char* eventCode, const char* fileName, const char* message);

// Shows a message on a thread of its own, with the machine id appended so
// that the user can quote it. Returns 1 once that thread has taken the
// arguments (within 2000 ms), else 0; never waits for the user.
int ShowMessageBoxAsync(void* owner, const char* text, const char* caption, uint32_t style);

// Who shows the message. Until a window exists, the default writes it to the
// log and to standard error. An empty function restores that default.
using MessageBoxPresenter =
    std::function<void(void* owner, const std::string& text, const std::string& caption, uint32_t style)>;
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

// The machine id as the message boxes show it; empty while unknown.
std::string MessageMachineIdText();

}  // namespace pf
