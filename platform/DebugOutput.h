#pragma once
// The debugger-output channel of the log. By default lines go to stderr when
// PELICANFETCH_DEBUG is set and are dropped otherwise; a sink can take them.
#include <functional>

namespace pf::platform {

void DebugOutput(const char* text);

// Replaces where debugger output goes; an empty function restores the default.
using DebugSink = std::function<void(const char*)>;
void SetDebugOutputSink(DebugSink sink);

}  // namespace pf::platform
