#include "platform/LocalTime.h"

#include <time.h>

#include <atomic>

namespace pf::platform {
namespace {
std::atomic<UtcOffsetSource> g_source{nullptr};
}

int64_t CurrentUtcOffsetSeconds() {
  if (UtcOffsetSource source = g_source.load()) return source();
  const time_t now = ::time(nullptr);
  struct tm local {};
  if (!::localtime_r(&now, &local)) return 0;
  return local.tm_gmtoff;
}

UtcOffsetSource SetUtcOffsetSource(UtcOffsetSource source) { return g_source.exchange(source); }

std::string FormatCurrentLocalTime(const char* format) {
  const time_t now = ::time(nullptr);
  struct tm local {};
  if (!::localtime_r(&now, &local)) return {};
  char text[128];
  const size_t length = ::strftime(text, sizeof(text), format, &local);
  return std::string(text, length);
}

}  // namespace pf::platform
