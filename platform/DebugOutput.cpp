#include "platform/DebugOutput.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace pf::platform {
namespace {

std::mutex sinkMutex;
DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

}  // namespace

void DebugOutput(const char* text) {
  if (!text) return;
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (Sink()) {
    Sink()(text);
    return;
  }
  static const bool enabled = std::getenv("PELICANFETCH_DEBUG") != nullptr;
  if (enabled) std::fputs(text, stderr);
}

DebugSink SetDebugOutputSink(DebugSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  return std::exchange(Sink(), std::move(sink));
}

}  // namespace pf::platform
