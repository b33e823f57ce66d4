#pragma once
#include <functional>
// The process-wide diagnostic log. Each line carries one number that is both
// its channel (which file) and its level (how important).

namespace pf {

class CPelicanfetchLog {
 public:
  virtual void SetThresholds(int fileThreshold, int debugThreshold) = 0;
  virtual void SetBasePath(const char* base) = 0;
  virtual void Write(const char* text, int channel, int level) = 0;
  // printf-style; goes to the debugger output only.
  virtual void WriteFormat(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
  virtual ~CPelicanfetchLog() = default;
};

// Creates the single log object unless it exists; DestroyLog deletes it.
// Writers that run while no log exists write nothing.
void CreateLog();
void DestroyLog();
// Runs `use` with the log object, if there is one, keeping it alive meanwhile.
bool WithLog(const std::function<void(CPelicanfetchLog&)>& use);

// Channel (and level) numbers of the log's writers.
enum LogChannel : int {
  kLogPortMapping = 3,     // the application's listen port and its mapping on the gateway
  kLogEngine = 2,          // the call interface, threads, buffers, the work loop
  kLogExtraction = 7,      // the application's resource extraction
  kLogResolver = 13,       // name resolution
  kLogThreadStopped = 22,  // a background thread's stop notice
  kLogTaskLife = 23,       // task creation, recovery and completion
  kLogTelemetry = 28,      // telemetry upload and failed event reports
  kLogApplication = 34,    // the application's general lines
  kLogResourceList = 38,   // the application's resource-list fetch
};

// Formats a line and writes it with the same number as channel and level.
void LogLine(int channelLevel, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Inside a catch block: logs what was caught ("where: what") on the channel.
void LogCaught(int channelLevel, const char* where);

}  // namespace pf
