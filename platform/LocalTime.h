#pragma once
// Local wall-clock time: the current offset from UTC and formatted local
// times.
#include <cstdint>
#include <string>

namespace pf::platform {

// Seconds to add to UTC to get local time now (daylight saving included).
int64_t CurrentUtcOffsetSeconds();

// Replaces the offset source (tests move the machine to another time zone);
// nullptr restores the system's. Answers the source it replaces.
using UtcOffsetSource = int64_t (*)();
UtcOffsetSource SetUtcOffsetSource(UtcOffsetSource source);

// The current local time formatted with strftime rules (C locale).
std::string FormatCurrentLocalTime(const char* format);

}  // namespace pf::platform
