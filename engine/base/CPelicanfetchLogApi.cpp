#include "engine/base/CPelicanfetchLogApi.h"

#include <exception>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <shared_mutex>

#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"

namespace pf {
namespace {

constexpr const char* kSuffixes[CPelicanfetchLogApi::kPathCount] = {
    ".log",          ".req.log",        ".dump.log",     ".checktask.log",
    ".peerprefer.log", ".dataupload.log", ".httptrace.log", ".checkpeer.log",
    ".written.log",  ".sha1check.log",  ".peerinfo.log"};

// Writers share the log; DestroyLog waits until none is inside it.
std::shared_mutex logLifetime;
std::unique_ptr<CPelicanfetchLog> logObject;

void FormatLocalTime(char* out, size_t size, const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  if (std::strftime(out, size, format, &local) == 0) out[0] = 0;
}

}  // namespace

CPelicanfetchLogApi::CPelicanfetchLogApi() : fileThreshold(38), debugThreshold(2) {
  std::memset(paths, 0, sizeof(paths));
}

void CPelicanfetchLogApi::SetThresholds(int file, int debug) {
  CriticalSectionGuard guard(&section);
  fileThreshold = file;
  debugThreshold = debug;
}

void CPelicanfetchLogApi::SetBasePath(const char* base) {
  CriticalSectionGuard guard(&section);
  for (int i = 0; i < kPathCount; ++i)
    std::snprintf(paths[i], kTextSize, "%s%s", base ? base : "", kSuffixes[i]);
}

int CPelicanfetchLogApi::FileIndexOfChannel(int channel) {
  switch (channel) {
    case 4: return 1;
    case 38: return 2;
    case 37: return 3;
    case 18: return 4;
    case 28: return 5;
    case 25: return 6;
    case 9: return 7;
    case 29: return 8;
    case 30: return 9;
    case 31: return 10;
    default: return 0;
  }
}

void CPelicanfetchLogApi::Write(const char* text, int channel, int level) {
  CriticalSectionGuard guard(&section);
  if (fileThreshold == kOff && debugThreshold == kOff) return;
  if (level < debugThreshold && channel < fileThreshold) return;

  char time[64];
  FormatLocalTime(time, sizeof(time), "%X");
  char line[kTextSize];
  // The text is cut so that the whole line, brackets and line feed included,
  // fits the buffer.
  const int fixed = static_cast<int>(std::strlen(time)) + 6;  // "[" "] [" "]\n"
  const int room = kTextSize - 1 - fixed;
  std::snprintf(line, sizeof(line), "[%s] [%.*s]\n", time, room > 0 ? room : 0,
                text ? text : "");

  if (level >= debugThreshold) platform::DebugOutput(line);
  if (channel >= fileThreshold && debugThreshold != kOff) {
    const char* path = paths[FileIndexOfChannel(channel)];
    platform::AppendToFile(path, line, std::strlen(line));
  }
}

void CPelicanfetchLogApi::WriteFormat(const char* format, ...) {
  CriticalSectionGuard guard(&section);
  char text[kTextSize] = {};
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
  }
  text[kTextSize - 1] = 0;

  char time[64];
  FormatLocalTime(time, sizeof(time), "%Y-%m-%d %X");
  char line[kTextSize + 80];
  std::snprintf(line, sizeof(line), "[%s] [%s]\r\n", time, text);
  platform::DebugOutput(line);
}

void CreateLog() {
  std::unique_lock<std::shared_mutex> lock(logLifetime);
  if (!logObject) logObject = std::make_unique<CPelicanfetchLogApi>();
}

void DestroyLog() {
  std::unique_lock<std::shared_mutex> lock(logLifetime);
  logObject.reset();
}

bool WithLog(const std::function<void(CPelicanfetchLog&)>& use) {
  std::shared_lock<std::shared_mutex> lock(logLifetime);
  if (!logObject) return false;
  use(*logObject);
  return true;
}

void LogCaught(int channelLevel, const char* where) {
  try {
    throw;
  } catch (const std::exception& error) {
    LogLine(channelLevel, "%s: %s", where, error.what());
  } catch (...) {
    LogLine(channelLevel, "%s: an exception of no known type", where);
  }
}

void LogLine(int channelLevel, const char* format, ...) {
  std::shared_lock<std::shared_mutex> lock(logLifetime);
  if (!logObject) return;
  char text[CPelicanfetchLogApi::kTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  logObject->Write(text, channelLevel, channelLevel);
}

}  // namespace pf
